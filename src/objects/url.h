// The CurlUrl object: one libcurl URL handle (curl_url) and the mutex that
// serialises every use of it (url.cpp).
#ifndef KELVEX_URL_H
#define KELVEX_URL_H

#include "pyutil.h"

struct CurlUrlObject {
  PyObject_HEAD
  CURLU* url;     // never null once constructed
  PyMutex mutex;  // guards url: libcurl's URL handles are not thread-safe
};

extern PyTypeObject CurlUrl_Type;

#endif  // KELVEX_URL_H
