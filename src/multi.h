// The CurlMulti object: its record and the checks its callers share
// (multi.cpp).
#ifndef KELVEX_MULTI_H
#define KELVEX_MULTI_H

#include <sys/select.h>

#include "pyutil.h"

struct CurlMultiObject {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakreflist;
  CURLM* multi_handle;
  PyThreadState* state;  // the multi's thread-state slot
  fd_set read_fd_set;
  fd_set write_fd_set;
  fd_set exc_fd_set;
  PyObject* cb_timer;
  PyObject* cb_socket;
  PyObject* cb_notify;
  PyObject* cb_push;
  PyObject* socket_assignments;  // dict
  PyObject* easies;              // set of Curl, or null once closed
  int close_handles;
};

extern PyTypeObject CurlMulti_Type;
inline bool is_multi(PyObject* o) { return PyObject_TypeCheck(o, &CurlMulti_Type); }

void assert_multi_state(const CurlMultiObject* self);
int check_multi_state(const CurlMultiObject* self, int flags, const char* name);

#endif  // KELVEX_MULTI_H
