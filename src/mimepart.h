// The CurlMimePart object: one part of a CurlMime document (mimepart.cpp).
#ifndef KELVEX_MIMEPART_H
#define KELVEX_MIMEPART_H

#include "access.h"
#include "pyutil.h"

struct CurlMimePartObject {
  PyObject_HEAD
  PyObject* mime;  // CurlMime, strong
  MimePartHandle part;
  PyObject* data_cb_owner;
};

extern PyTypeObject CurlMimePart_Type;

#endif  // KELVEX_MIMEPART_H
