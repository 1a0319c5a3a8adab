// The CurlMime object: a multipart document of libcurl's MIME API, and what
// the Curl it belongs to asks of it (mime.cpp).
#ifndef KELVEX_MIME_H
#define KELVEX_MIME_H

#include "pyutil.h"

struct CurlObject;

struct CurlMimeObject {
  PyObject_HEAD
  PyObject* curl;  // Curl, strong
  curl_mime* mime_handle;
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
PyObject* do_curl_setopt_mimepost(CurlObject* self, PyObject* value);

// duphandle: the callback owners that the source's libcurl document holds
// (a new tuple; null with an exception set), taken before duplicating, and
// one more libcurl-side reference to each once the copy exists.
PyObject* curlmime_data_cb_owners_snapshot(CurlObject* source);
void curlmime_duphandle_incref_data_cb_owners(PyObject* snapshot);

#endif  // KELVEX_MIME_H
