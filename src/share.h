// The CurlShare object: its record, the lock block through which libcurl
// serialises the shared data, and the registry that Curl objects join
// through SHARE (share.cpp).
#ifndef KELVEX_SHARE_H
#define KELVEX_SHARE_H

#include "pyutil.h"

struct CurlObject;

// One mutex per libcurl lock-data kind, indexed by the kind's value.
inline constexpr int KELVEX_LOCK_DATA_KINDS = 8;
static_assert(CURL_LOCK_DATA_LAST <= KELVEX_LOCK_DATA_KINDS,
              "libcurl has more lock-data kinds than the share lock block");
struct ShareLock {
  PyMutex locks[KELVEX_LOCK_DATA_KINDS];
};

struct CurlShareObject {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakreflist;
  CURLSH* share_handle;
  ShareLock* lock;
  PyMutex mutex;     // guards share_handle and easies
  PyObject* easies;  // dict: address of each attached Curl -> weak reference to it
  int detach_on_close;
};

extern PyTypeObject CurlShare_Type;
inline bool is_share(PyObject* o) { return PyObject_TypeCheck(o, &CurlShare_Type); }

int share_register_easy(CurlShareObject* share, CurlObject* easy);
void share_unregister_easy(CurlShareObject* share, CurlObject* easy);

#endif  // KELVEX_SHARE_H
