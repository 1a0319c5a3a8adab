// The error convention and the routines with which libcurl callbacks report
// trouble.
#include "pyutil.h"

#include "callbacks.h"
#include "easy.h"
#include "module.h"
#include "threadstate.h"

void create_and_set_error_object(CurlObject* self, int code) {
  self->error[sizeof(self->error) - 1] = '\0';
  const char* message = self->error[0] != '\0' ? self->error
                                              : curl_easy_strerror(static_cast<CURLcode>(code));
  Ref text = Ref::steal(PyText_FromString_Ignore(message));
  if (!text) return;
  Ref value = Ref::steal(Py_BuildValue("(iO)", code, text.get()));
  if (!value) return;
  PyErr_SetObject(kx.ErrorObject, value.get());
}

void set_error_text(const char* text) { PyErr_SetString(kx.ErrorObject, text); }

void set_error_code_text(long code, const char* text) {
  Ref value = Ref::steal(Py_BuildValue("(ls)", code, text));
  if (value) PyErr_SetObject(kx.ErrorObject, value.get());
}

void set_error_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (text) PyErr_SetObject(kx.ErrorObject, text.get());
}

void add_note_to_raised(const char* format, ...) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  va_list args;
  va_start(args, format);
  Ref note = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (note) {
    Ref done = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!done) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

bool option_in_range(int option, int last_option, int last_index) noexcept {
  return option >= 1 && option <= last_option && option % 10000 <= last_index;
}

PyObject* enter_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

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

SlistPtr text_items_to_slist(PyObject* sequence, int which, Py_ssize_t count,
                             const char* not_text) {
  SlistPtr list;
  const int rc = for_each_text_item(
      sequence, which, count, [not_text] { PyErr_SetString(PyExc_TypeError, not_text); },
      [&list](const char* text, Ref&) {
        // curl_slist_append copies the text; on failure it leaves the list
        // as it was, still ours to free.
        curl_slist* head = curl_slist_append(list.get(), text);
        if (head == nullptr) {
          PyErr_NoMemory();
          return -1;
        }
        if (!list) list.reset(head);
        return 0;
      });
  if (rc < 0) list.reset();
  return list;
}
