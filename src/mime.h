// The CurlMime object: a multipart document of libcurl's MIME API, and what
// the Curl it belongs to asks of it (mime.cpp).
#ifndef KELVEX_MIME_H
#define KELVEX_MIME_H

#include "access.h"
#include "pyutil.h"

struct CurlObject;

struct CurlMimeObject {
  PyObject_HEAD
  PyObject* curl;  // Curl, strong
  MimeHandle mime_handle;
  PyObject* parts;           // list
  PyObject* submimes;        // list
  PyObject* data_cb_owners;  // list
  int owns_handle;
  // The libcurl part this document is nested under (subparts), borrowed:
  // replacing that part's content makes libcurl free this document.
  curl_mimepart* parent_part;
};

extern PyTypeObject CurlMime_Type;
inline bool is_mime(PyObject* o) { return PyObject_TypeCheck(o, &CurlMime_Type); }

// setopt(MIMEPOST, document): checks the document and points the Curl's
// handle at it, letting go of any form or earlier document.
PyObject* do_curl_setopt_mimepost(const CurlAccess& access, PyObject* value);

// duphandle: the callback owners that the source's libcurl document holds
// (a new tuple; null with an exception set), taken before duplicating, and
// one more libcurl-side reference to each once the copy exists.
PyObject* curlmime_data_cb_owners_snapshot(CurlObject* source);
void curlmime_duphandle_incref_data_cb_owners(PyObject* snapshot);

// What the guard of a document or part (MimeAccess, access.cpp) asks of it.

// libcurl runs the free hooks of a part's old content in the middle of
// replacing it (mimeshared.h's ContentChange): the MIME calls made from
// there are refused, -1 with kelvex.error set, else 0.
int refuse_during_content_change(const char* name);

// A strong reference to a field that teardown empties under the owner's
// section (curlmime_invalidate_wrappers): another thread may be closing
// the document at this very moment.
Ref field_ref(PyObject* owner, PyObject* const& field);

// Whether the document is still open, read under its section: a close()
// on another thread empties the handle there, claim or no claim here.
bool curlmime_is_open(CurlMimeObject* mime);

#endif  // KELVEX_MIME_H
