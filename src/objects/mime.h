// The CurlMime object: a multipart document of libcurl's MIME API, and what
// the Curl it belongs to asks of it (mime.cpp); its record is in records.h.
#ifndef KELVEX_MIME_H
#define KELVEX_MIME_H

#include "access.h"
#include "pyutil.h"
#include "records.h"


// setopt(MIMEPOST, document): checks the document and points the Curl's
// handle at it, letting go of any form or earlier document.
PyObject* do_curl_setopt_mimepost(const CurlAccess& access, PyObject* value);

// duphandle: the callback owners that the source's libcurl document holds
// (a new tuple; null with an exception set), taken before duplicating, and
// one more libcurl-side reference to each once the copy exists.
PyObject* curlmime_data_cb_owners_snapshot(CurlObject* source);
void curlmime_duphandle_incref_data_cb_owners(PyObject* snapshot);

#endif  // KELVEX_MIME_H
