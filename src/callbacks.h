// libcurl's callbacks (the trampolines of easycb*.cpp and multicb.cpp): what
// each answers libcurl when it cannot or must not run Python code, the
// steps every trampoline shares (CallbackEntry, callback_failed,
// call_callable), the converters of the callables' results, and the
// trampolines themselves.
#ifndef KELVEX_CALLBACKS_H
#define KELVEX_CALLBACKS_H

#include "pyutil.h"
#include "access.h"

#include <type_traits>

struct CurlObject;

// ---------------------------------------------------------------------------
// Failure values: what each trampoline answers libcurl when the interpreter
// is finalizing, when no thread state is recorded for its handle, and when
// the Python side failed (unless its own rules say otherwise).
// ---------------------------------------------------------------------------

enum class Trampoline : unsigned char {
  write,
  header,
  read,
  seek,
  ioctl,
  progress,
  xferinfo,
  debug,
  prereq,
  fnmatch,
  resolver_start,
  trailer,
  opensocket,
  sockopt,
  closesocket,
  ssh_key,
  ssl_ctx,
  hstsread,
  hstswrite,
  interleave,
  ssh_hostkey,
  push,
  chunk_bgn,
  chunk_end,
};

struct FailureValue {
  Trampoline trampoline;
  long value;
};

constexpr FailureValue kFailureValues[] = {
    {Trampoline::write, 0},  // any count short of the chunk is a write error
    {Trampoline::header, 0},
    {Trampoline::read, CURL_READFUNC_ABORT},
    {Trampoline::seek, CURL_SEEKFUNC_CANTSEEK},
    {Trampoline::ioctl, CURLIOE_FAILRESTART},
    {Trampoline::progress, 1},
    {Trampoline::xferinfo, 1},
    {Trampoline::debug, 0},
    {Trampoline::prereq, CURL_PREREQFUNC_ABORT},
    {Trampoline::fnmatch, CURL_FNMATCHFUNC_FAIL},
    {Trampoline::resolver_start, 1},
    {Trampoline::trailer, CURL_TRAILERFUNC_ABORT},
    {Trampoline::opensocket, CURL_SOCKET_BAD},
    {Trampoline::sockopt, CURL_SOCKOPT_ERROR},
    {Trampoline::closesocket, 1},
    {Trampoline::ssh_key, CURLKHSTAT_REJECT},
    {Trampoline::ssl_ctx, CURLE_FAILED_INIT},
    {Trampoline::hstsread, CURLSTS_FAIL},
    {Trampoline::hstswrite, CURLSTS_FAIL},
    {Trampoline::interleave, 0},
    {Trampoline::ssh_hostkey, CURLKHMATCH_MISMATCH},
    // Refusing the pushed stream keeps the transfer that brought it going.
    {Trampoline::push, CURL_PUSH_DENY},
    {Trampoline::chunk_bgn, CURL_CHUNK_BGN_FUNC_FAIL},
    {Trampoline::chunk_end, CURL_CHUNK_END_FUNC_FAIL},
};

constexpr bool failure_table_is_indexed() {
  for (std::size_t i = 0; i < std::size(kFailureValues); ++i) {
    if (static_cast<std::size_t>(kFailureValues[i].trampoline) != i) return false;
  }
  return true;
}
static_assert(failure_table_is_indexed(), "failure values must be listed in enum order");

constexpr long failure_value(Trampoline t) {
  return kFailureValues[static_cast<std::size_t>(t)].value;
}

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
// (when one is named) for the length of the trampoline, so that Python code
// run by it cannot free it. Constructed first thing; when `ready()` is false
// the trampoline answers libcurl with its failure value without touching
// Python. The callable is let go of before the thread detaches again.
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
// Results and errors of the callables (easycb.cpp, util.cpp)
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

// The data path (easycb.cpp); socket and security
// (easycbsocket.cpp).
size_t write_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
size_t header_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
// RTSP interleaved data: the body rules of write_callback, its own callable.
size_t interleave_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
size_t read_callback(char* buffer, size_t size, size_t nitems, void* userdata);
int seek_callback(void* userdata, curl_off_t offset, int origin);
curlioerr ioctl_callback(CURL* handle, int cmd, void* userdata);
CURLcode ssl_ctx_callback(CURL* handle, void* ssl_ctx, void* userdata);
// Progress and notification (easycbnotify.cpp).
int progress_callback(void* clientp, double dltotal, double dlnow, double ultotal, double ulnow);
int xferinfo_callback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow);
// libcurl's XFERINFOFUNCTION on every handle, from creation on: it runs the
// signal handlers that wait while libcurl blocks, then the progress or
// transfer-information callable when NOPROGRESS (kept in `noprogress`) is 0.
// Installs it with this object as its data (libcurl cannot refuse).
CURLcode install_progress_trampoline(CurlObject* self, CURL* handle);
int debug_callback(CURL* handle, curl_infotype type, char* data, size_t size, void* userptr);
int prereq_callback(void* clientp, char* conn_primary_ip, char* conn_local_ip,
                    int conn_primary_port, int conn_local_port);
int fnmatch_callback(void* ptr, const char* pattern, const char* string);
int resolver_start_callback(void* resolver_state, void* reserved, void* userdata);
int trailer_callback(curl_slist** list, void* userdata);
// Wildcard transfers: before and after each matching file.
long chunk_bgn_callback(const void* transfer_info, void* ptr, int remains);
long chunk_end_callback(void* ptr);
// Socket and security (easycbsocket.cpp).
curl_socket_t opensocket_callback(void* clientp, curlsocktype purpose,
                                  struct curl_sockaddr* address);
int sockopt_cb(void* clientp, curl_socket_t curlfd, curlsocktype purpose);
int closesocket_callback(void* clientp, curl_socket_t item);
int ssh_key_cb(CURL* easy, const struct curl_khkey* knownkey, const struct curl_khkey* foundkey,
               enum curl_khmatch match, void* clientp);
int ssh_hostkey_callback(void* clientp, int keytype, const char* key, size_t keylen);
// Installs closesocket_callback with this handle's token as its user data
// (the handle is found through libcurl's private pointer); cannot fail.
CURLcode install_closesocket(CURL* handle, CURLoption option);
// A duplicate gets a token of its own; a closed handle gives its token up,
// after which libcurl's late closes of its pooled connections just close.
void closesocket_link(CurlObject* self, CURL* handle);
void closesocket_unlink(CurlObject* self);

// HSTS cache load and save (easycbhsts.cpp).
CURLSTScode hstsread_callback(CURL* easy, curl_hstsentry* entry, void* userdata);
CURLSTScode hstswrite_callback(CURL* easy, curl_hstsentry* entry, curl_index* index,
                               void* userdata);

#endif  // KELVEX_CALLBACKS_H
