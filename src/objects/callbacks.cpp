// The routines with which libcurl's callbacks report trouble: a callable's
// Exception is printed and kept as the cause of the error that the call
// running libcurl raises; anything else stays pending for that call.
#include "callbacks.h"

#include "globals.h"

namespace {
// The collector of the call that runs libcurl on this thread, if any. Only
// that thread's callbacks reach it, so it needs no lock.
thread_local CallbackErrorCollector* t_collector = nullptr;
}  // namespace

CallbackErrorCollector::CallbackErrorCollector() noexcept : outer_(t_collector) {
  t_collector = this;
}

CallbackErrorCollector::~CallbackErrorCollector() { t_collector = outer_; }

void CallbackErrorCollector::attach_cause() noexcept {
  if (!first_) return;
  PyObject* error = PyErr_GetRaisedException();
  if (error == nullptr) return;
  if (PyErr_GivenExceptionMatches(error, kx.ErrorObject)) {
    PyException_SetCause(error, first_.release());
  }
  PyErr_SetRaisedException(error);
}

namespace {

// Calls obj.name(arg) (or obj.name() without one) with the name interned,
// as the interpreter's method cache expects: a fresh name string on each
// call would take a new cache entry, and keep it, every time.
PyObject* call_method(PyObject* obj, const char* name, PyObject* arg) {
  Ref method = Ref::steal(PyUnicode_InternFromString(name));
  if (!method) return nullptr;
  PyObject* args[2] = {obj, arg};
  const size_t nargs = arg != nullptr ? 2 : 1;
  return PyObject_VectorcallMethod(method.get(), args, nargs, nullptr);
}

// Writes the report of `exc` to sys.stderr as the interpreter formats an
// unhandled exception, in one write() call: the interpreter's own printing
// writes a report in many pieces, between which any other thread that
// writes to standard error lands in the middle of it. 0, or -1 with an
// exception set.
int write_exception_report(PyObject* exc) {
  Ref traceback = Ref::steal(PyImport_ImportModule("traceback"));
  if (!traceback) return -1;
  Ref lines = Ref::steal(call_method(traceback.get(), "format_exception", exc));
  if (!lines) return -1;
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return -1;
  Ref text = Ref::steal(PyUnicode_Join(empty.get(), lines.get()));
  if (!text) return -1;
  // sys.stderr may be replaced by another thread at any moment: hold it.
  Ref stream = Ref::borrow(PySys_GetObject("stderr"));
  if (!stream || stream.get() == Py_None) return 0;  // nowhere to print
  Ref written = Ref::steal(call_method(stream.get(), "write", text.get()));
  if (!written) return -1;
  Ref flushed = Ref::steal(call_method(stream.get(), "flush", nullptr));
  return flushed ? 0 : -1;
}

}  // namespace

void print_callback_error_if_regular_exception() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    // Printed like an unhandled exception, without keeping it in
    // sys.last_exc (which would hold the callback's frames alive). When
    // the report cannot be made in one piece, the interpreter prints it.
    if (write_exception_report(exc) < 0) {
      PyErr_Clear();
      PyErr_DisplayException(exc);
    }
    // The first one is what ended the transfer: the error that the call
    // running libcurl raises names it as its cause.
    if (t_collector != nullptr && !t_collector->first_) {
      t_collector->first_ = Ref::steal(exc);
      return;
    }
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
