// libcurl's callbacks (the trampolines of easycb*.cpp and multicb.cpp): the
// steps every trampoline shares (CallbackEntry, callback_failed,
// call_callable), the converters of the callables' results, and the
// trampolines that no callable option installs. The callable options, with
// what each trampoline answers libcurl when it cannot or must not run Python
// code, are the table of callbackoptions.h.
#ifndef KELVEX_CALLBACKS_H
#define KELVEX_CALLBACKS_H

#include "callbackoptions.h"
#include "pyutil.h"
#include "access.h"

#include <type_traits>

struct CurlObject;

// An exception left pending by an earlier callback of the same transfer (a
// KeyboardInterrupt that libcurl has not yet turned into the transfer's end)
// must reach perform() intact: running Python code on top of it could replace
// it, and calling into the interpreter with an error set is not allowed.
inline bool exception_pending() { return PyErr_Occurred() != nullptr; }

// ---------------------------------------------------------------------------
// The steps every trampoline shares
// ---------------------------------------------------------------------------

// The way into Python for a trampoline: re-attaches with the thread state
// that the call running libcurl recorded for `owner` (a Curl or a
// CurlMulti; a RuntimeWarning with the text `warning` when there is none),
// refuses while an exception is pending, and holds the callable in `field`
// (when one is named; for a Curl, the callable of the table's `row`) for the
// length of the trampoline, so that Python code run by it cannot free it.
// Constructed first thing; when `ready()` is false the trampoline answers
// libcurl with its failure value without touching Python. The callable is
// let go of before the thread detaches again.
//
// The multi's trampolines set a pending exception aside instead
// (MultiCallbackEntry, with PendingExceptionSaver's `over_new`): failing
// them would make libcurl abort every other transfer of the multi, and the
// driving call raises the earlier exception once libcurl returns.
template <bool kSetAside>
class BasicCallbackEntry {
 public:
  template <typename Owner>
  BasicCallbackEntry(Owner* owner, PyObject* Owner::*field, const char* warning) noexcept
      : frame_(owner, warning),
        saver_(PendingExceptionSaver::over_new, frame_.entered()),
        ready_(frame_.entered() && (kSetAside || !exception_pending())) {
    if (ready_ && field != nullptr) callable_ = Ref::borrow(owner->*field);
  }
  template <typename Owner>
  BasicCallbackEntry(Owner* owner, std::size_t row, const char* warning) noexcept
      : frame_(owner, warning),
        saver_(PendingExceptionSaver::over_new, frame_.entered()),
        ready_(frame_.entered() && (kSetAside || !exception_pending())) {
    if (ready_) callable_ = Ref::borrow(owner->callables[row]);
  }
  // For a trampoline that runs no callable of its own.
  template <typename Owner>
  BasicCallbackEntry(Owner* owner, const char* warning) noexcept
      : BasicCallbackEntry(owner, static_cast<PyObject* Owner::*>(nullptr), warning) {}
  BasicCallbackEntry(const BasicCallbackEntry&) = delete;
  BasicCallbackEntry& operator=(const BasicCallbackEntry&) = delete;
  ~BasicCallbackEntry() = default;

  bool entered() const noexcept { return frame_.entered(); }
  bool ready() const noexcept { return ready_; }
  // The callable, or null when the field was empty.
  PyObject* callable() const noexcept { return callable_.get(); }

 private:
  struct NoSaver {
    NoSaver(PendingExceptionSaver::Restore, bool) noexcept {}
  };
  // In this order: the callable is let go of, then a set-aside exception
  // comes back, then the thread detaches.
  CallbackFrame frame_;
  [[no_unique_address]] std::conditional_t<kSetAside, PendingExceptionSaver, NoSaver> saver_;
  bool ready_;
  Ref callable_;
};
using CallbackEntry = BasicCallbackEntry<false>;
using MultiCallbackEntry = BasicCallbackEntry<true>;

// A step of a trampoline failed with an exception set: an Exception is
// printed, KeyboardInterrupt and the like stay pending for the call that
// runs libcurl (print_callback_error_if_regular_exception), and libcurl
// gets `failure`.
template <typename T>
T callback_failed(T failure) noexcept;

// callable(*args) through vectorcall, with the free slot in front of the
// arguments that lets a bound method borrow it: a new reference, or null
// with the exception set.
template <typename... Args>
Ref call_callable(PyObject* callable, Args... args) noexcept {
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                        sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
}

// libcurl hands over size and count separately; their product must fit the
// sizes that Python objects can have.
inline bool checked_size(size_t size, size_t nmemb, size_t* total) {
  return !__builtin_mul_overflow(size, nmemb, total) &&
         *total <= static_cast<size_t>(PY_SSIZE_T_MAX);
}

// seek and ioctl answers: None is 0, ints 0..2 pass. An int beyond the C int
// range is refused with the interpreter's OverflowError instead of being cut
// to 32 bits, which could turn a large value into "OK".
enum class SmallResult { ok, out_of_range, not_int, error };
inline SmallResult small_int_result(PyObject* result, int* out) {
  if (result == Py_None) {
    *out = 0;
    return SmallResult::ok;
  }
  if (!PyLong_Check(result)) return SmallResult::not_int;
  const int value = PyLong_AsInt(result);
  if (value == -1 && PyErr_Occurred()) return SmallResult::error;
  *out = value;
  return value >= 0 && value <= 2 ? SmallResult::ok : SmallResult::out_of_range;
}

// ---------------------------------------------------------------------------
// Results and errors of the callables (easycb.cpp, callbacks.cpp)
// ---------------------------------------------------------------------------

// A callable that raised an Exception has it printed (libcurl gets the
// failure value); KeyboardInterrupt, SystemExit and the like stay pending
// for the call that ran libcurl.
void print_callback_error_if_regular_exception();

template <typename T>
T callback_failed(T failure) noexcept {
  print_callback_error_if_regular_exception();
  return failure;
}

// Kept by a call that runs libcurl (perform and its variants) for as long as
// libcurl runs: the first Exception that a callable of this thread raised
// (printed and cleared as above) is kept here, and attach_cause() makes it
// the __cause__ of the kelvex.error that the call then raises. Nests: a call
// made from inside a callback has a collector of its own.
class CallbackErrorCollector {
 public:
  CallbackErrorCollector() noexcept;
  CallbackErrorCollector(const CallbackErrorCollector&) = delete;
  CallbackErrorCollector& operator=(const CallbackErrorCollector&) = delete;
  ~CallbackErrorCollector();
  // With a kelvex.error set: gives it the kept exception as its cause.
  void attach_cause() noexcept;

 private:
  friend void print_callback_error_if_regular_exception();
  Ref first_;
  CallbackErrorCollector* outer_;
};
int check_pending_python_exception_or_signal();

int callback_return_value_to_int(PyObject* result, const char* name, int* out);
// callable(value), the value as a Python int: a new reference, or null with
// the exception set when the argument could not be made or the call failed.
inline PyObject* call_with_int(PyObject* callable, long long value) {
  Ref arg = Ref::steal(PyLong_FromLongLong(value));
  return arg ? PyObject_CallOneArg(callable, arg.get()) : nullptr;
}
// A seek callable's answer: None or 0..2 pass; anything else prints the
// matching text (range_format gets the value) and gives `failure`.
int seek_result_to_code(PyObject* result, const char* range_format, const char* type_text,
                        int failure);
// The texts of a refused seek answer, which name the callable's kind.
struct SeekTexts {
  const char* range_format;
  const char* type_text;
};
// The body of the handle's and a MIME part's seek trampolines, once
// entered: callable([userdata,] offset, origin) and its answer for libcurl.
// `userdata` null: not passed.
int call_seek(PyObject* callable, PyObject* userdata, curl_off_t offset, int origin,
              const SeekTexts& texts, int failure);

// ---------------------------------------------------------------------------
// Trampolines
// ---------------------------------------------------------------------------

// The trampolines of the callable options are declared beside their rows
// (callbackoptions.h); these are the others.
CURLcode ssl_ctx_callback(CURL* handle, void* ssl_ctx, void* userdata);
int progress_callback(void* clientp, double dltotal, double dlnow, double ultotal, double ulnow);
int xferinfo_callback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow);
// libcurl's XFERINFOFUNCTION on every handle, from creation on: it runs the
// signal handlers that wait while libcurl blocks, then the progress or
// transfer-information callable when NOPROGRESS (kept in `noprogress`) is 0.
// Installs it with this object as its data (libcurl cannot refuse).
CURLcode install_progress_trampoline(CurlObject* self, CURL* handle);
int closesocket_callback(void* clientp, curl_socket_t item);
// A duplicate gets a token of its own; a closed handle gives its token up,
// after which libcurl's late closes of its pooled connections just close.
void closesocket_link(CurlObject* self, CURL* handle);
void closesocket_unlink(CurlObject* self);

#endif  // KELVEX_CALLBACKS_H
