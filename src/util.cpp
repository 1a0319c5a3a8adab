// The error convention and the routines with which libcurl callbacks report
// trouble.
#include "kelvex.h"

void create_and_set_error_object(CurlObject* self, int code) {
  self->error[sizeof(self->error) - 1] = '\0';
  const char* message = self->error[0] != '\0' ? self->error
                                              : curl_easy_strerror(static_cast<CURLcode>(code));
  Ref text = Ref::steal(PyText_FromString_Ignore(message));
  if (!text) return;
  Ref value = Ref::steal(Py_BuildValue("(iO)", code, text.get()));
  if (!value) return;
  PyErr_SetObject(ErrorObject, value.get());
}

void set_error_text(const char* text) { PyErr_SetString(ErrorObject, text); }

void set_error_code_text(long code, const char* text) {
  Ref value = Ref::steal(Py_BuildValue("(ls)", code, text));
  if (value) PyErr_SetObject(ErrorObject, value.get());
}

// May run on a thread with no attached thread state (a callback that found
// no slot), so it attaches through the ensure-and-release protocol for the
// duration of the warning only.
void warn_failed_to_acquire_thread(const char* message) {
  PyGILState_STATE gstate = PyGILState_Ensure();
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
    // Warnings turned into errors cannot propagate out of a libcurl
    // callback; report it instead of leaving it on a thread state that
    // may be about to go away.
    PyErr_WriteUnraisable(nullptr);
  }
  PyGILState_Release(gstate);
}

void print_callback_error_if_regular_exception() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    // Printed like an unhandled exception, without keeping it in
    // sys.last_exc (which would hold the callback's frames alive).
    PyErr_DisplayException(exc);
    Py_DECREF(exc);
    return;
  }
  // KeyboardInterrupt, SystemExit and the like stay pending so that the
  // call that ran libcurl raises them.
  PyErr_SetRaisedException(exc);
}

int check_pending_python_exception_or_signal() {
  if (PyErr_Occurred()) return -1;
  if (PyErr_CheckSignals() != 0) return -1;
  return 0;
}
