// Holder types: internal objects that only keep libcurl data, or the
// callables libcurl calls with it, alive for as long as some handle needs
// them. A duplicate handle and its source share one holder.
#ifndef KELVEX_HOLDERS_H
#define KELVEX_HOLDERS_H

#include "pyutil.h"

struct CurlObject;

// A libcurl string list (HTTPHEADER and the like) (holders.cpp).
struct CurlSlistObject {
  PyObject_HEAD
  curl_slist* slist;
};

// A legacy form (HTTPPOST) and the objects its parts point into
// (holders.cpp).
struct CurlHttppostObject {
  PyObject_HEAD
  curl_httppost* httppost;
  PyObject* reflist;  // list or null
};

// The callables and user data of a callback-fed MIME part, kept alive while
// libcurl holds a part that calls them (holders.cpp).
struct MimeDataCbOwnerObject {
  PyObject_HEAD
  PyObject* read;
  PyObject* seek;
  PyObject* free;
  PyObject* userdata;
  int64_t libcurl_refs;
  int free_called;
};

extern PyTypeObject CurlSlist_Type;
extern PyTypeObject CurlHttppost_Type;
extern PyTypeObject MimeDataCbOwner_Type;

// Replace the holder in `field` (or the Curl's form holder) by a new one
// that owns `list` (or `post` and the caller's reference to `reflist`);
// on failure the caller keeps them. 0 or -1.
int util_curlslist_update(PyObject** field, curl_slist* list);
int util_curlhttppost_update(CurlObject* self, curl_httppost* post, PyObject* reflist);

#endif  // KELVEX_HOLDERS_H
