// libcurl's progress and notification trampolines of the easy handle:
// progress and transfer information, the debug trace, the moment before a
// request goes out, wildcard matching of FTP names, the start of name
// resolution and the trailers of a chunked upload. Like the data path
// (easycb.cpp) they run with the interpreter detached, on the thread that
// drives the transfer, with the Curl object as user data.
#include "callbacks.h"

#include "access.h"
#include "easy.h"
#include "globals.h"

#include <climits>

namespace {

// The answer of a progress or transfer-information callable. libcurl aborts
// on anything but 0 and CURL_PROGRESSFUNC_CONTINUE (which asks for its own
// meter); an int outside the C int range aborts too instead of being cut to
// 32 bits, where 2**32 would have read as "continue".
int progress_result(PyObject* result) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_PROGRESSFUNCTION));
  if (result == Py_None) return 0;
  if (PyLong_Check(result)) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(result, &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) return failure;
    return static_cast<int>(value);
  }
  const int truth = PyObject_IsTrue(result);
  if (truth < 0) return callback_failed(-1);
  return truth;
}

// Calls a progress or transfer-information callable with its four numbers
// (any of which may be null after a failed conversion).
int call_progress(PyObject* callable, const Ref (&values)[4]) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_PROGRESSFUNCTION));
  static_assert(callback_failure(CURLOPT_PROGRESSFUNCTION) ==
                callback_failure(CURLOPT_XFERINFOFUNCTION));
  for (const Ref& value : values) {
    if (!value) return callback_failed(failure);
  }
  Ref result = call_callable(callable, values[0].get(), values[1].get(),
                             values[2].get(), values[3].get());
  if (!result) return callback_failed(failure);
  return progress_result(result.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// Progress and transfer information
// ---------------------------------------------------------------------------

int progress_callback(void* clientp, double dltotal, double dlnow, double ultotal,
                      double ulnow) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_PROGRESSFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_PROGRESSFUNCTION),
                      "progress_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  const Ref values[] = {Ref::steal(PyFloat_FromDouble(dltotal)),
                        Ref::steal(PyFloat_FromDouble(dlnow)),
                        Ref::steal(PyFloat_FromDouble(ultotal)),
                        Ref::steal(PyFloat_FromDouble(ulnow))};
  return call_progress(callable, values);
}

int xferinfo_callback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_XFERINFOFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_XFERINFOFUNCTION),
                      "xferinfo_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  const Ref values[] = {Ref::steal(PyLong_FromLongLong(dltotal)),
                        Ref::steal(PyLong_FromLongLong(dlnow)),
                        Ref::steal(PyLong_FromLongLong(ultotal)),
                        Ref::steal(PyLong_FromLongLong(ulnow))};
  return call_progress(callable, values);
}

// ---------------------------------------------------------------------------
// The progress trampoline libcurl always has
// ---------------------------------------------------------------------------

// CPython's C-level signal handler only flags the signal in the main thread's
// state (a bit of its eval breaker); the Python handler runs when that thread
// next evaluates code. While libcurl waits in poll() nothing does, so a
// silent server would keep Ctrl-C waiting for as long as the transfer lasts.
// A signal interrupts that poll(), after which libcurl calls this trampoline:
// one relaxed load of the parked state's eval breaker tells whether a handler
// is waiting, and only then does the thread re-attach to run it.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// _PY_SIGNALS_PENDING_BIT of CPython 3.13's internal pycore_ceval.h.
constexpr uintptr_t kSignalsPending = uintptr_t{1} << 1;
#else
// Any of the interpreter's event bits: a spurious look costs one attach.
constexpr uintptr_t kSignalsPending = 0xff;
#endif

bool signal_handler_waiting(CurlObject* self) {
  PyThreadState* tstate = kelvex_get_thread_state(self);
  return tstate != nullptr &&
         (__atomic_load_n(&tstate->eval_breaker, __ATOMIC_RELAXED) & kSignalsPending) != 0;
}

// Runs the waiting signal handlers on the parked thread state: 0, or the
// failure value with the handler's exception left pending for perform().
int run_signal_handlers(CurlObject* self) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_XFERINFOFUNCTION));
  CallbackEntry frame(self, "xferinfo_callback failed to acquire thread");
  if (!frame.entered()) return 0;
  if (!frame.ready()) return failure;
  return PyErr_CheckSignals() < 0 ? failure : 0;
}

int transfer_progress_callback(void* clientp, curl_off_t dltotal, curl_off_t dlnow,
                               curl_off_t ultotal, curl_off_t ulnow) {
  auto* self = static_cast<CurlObject*>(clientp);
  if (signal_handler_waiting(self)) {
    const int res = run_signal_handlers(self);
    if (res != 0) return res;
  }
  // The fields change only while the handle is claimed, which this transfer
  // holds; NOPROGRESS set by the caller silences the callables, as it would
  // in libcurl.
  if (self->noprogress) return 0;
  if (curl_callable<CURLOPT_XFERINFOFUNCTION>(self) != nullptr)
    return xferinfo_callback(clientp, dltotal, dlnow, ultotal, ulnow);
  if (curl_callable<CURLOPT_PROGRESSFUNCTION>(self) != nullptr)
    return progress_callback(clientp, static_cast<double>(dltotal), static_cast<double>(dlnow),
                             static_cast<double>(ultotal), static_cast<double>(ulnow));
  return CURL_PROGRESSFUNC_CONTINUE;  // libcurl's own meter, as NOPROGRESS 0 asks
}

CURLcode install_progress_trampoline(CurlObject* self, CURL* handle) {
  CURLcode res = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void*>(self));
  if (res == CURLE_OK)
    res = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, transfer_progress_callback);
  if (res == CURLE_OK) res = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  if (res == CURLE_OK) self->progress_calls_off = false;
  return res;
}

// ---------------------------------------------------------------------------
// Debug trace
// ---------------------------------------------------------------------------

// The answer is always 0, the only one libcurl documents (it ignores the
// value): the trace must never be able to change the transfer it watches.
int debug_callback(CURL* /*handle*/, curl_infotype type, char* data, size_t size,
                   void* userptr) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_DEBUGFUNCTION));
  auto* self = static_cast<CurlObject*>(userptr);
  CallbackEntry frame(self, callback_row(CURLOPT_DEBUGFUNCTION),
                      "debug_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  if (size > static_cast<size_t>(INT_MAX)) {
    set_error_text("integer overflow in debug callback");
    return callback_failed(failure);
  }
  Ref py_type = Ref::steal(PyLong_FromLong(static_cast<long>(type)));
  Ref py_data = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
  if (!py_type || !py_data) return callback_failed(failure);
  Ref result = call_callable(callable, py_type.get(), py_data.get());
  if (!result) print_callback_error_if_regular_exception();
  return failure;
}

// ---------------------------------------------------------------------------
// Before the request
// ---------------------------------------------------------------------------

int prereq_callback(void* clientp, char* conn_primary_ip, char* conn_local_ip,
                    int conn_primary_port, int conn_local_port) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_PREREQFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_PREREQFUNCTION),
                      "prereq_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  Ref values[] = {Ref::steal(PyUnicode_FromString(conn_primary_ip ? conn_primary_ip : "")),
                  Ref::steal(PyUnicode_FromString(conn_local_ip ? conn_local_ip : "")),
                  Ref::steal(PyLong_FromLong(conn_primary_port)),
                  Ref::steal(PyLong_FromLong(conn_local_port))};
  for (const Ref& value : values) {
    if (!value) return callback_failed(-1);
  }
  // An exception from the callable stays pending: perform() raises it in
  // place of libcurl's "aborted by callback".
  Ref result = call_callable(callable, values[0].get(), values[1].get(),
                             values[2].get(), values[3].get());
  int value = 0;
  if (callback_return_value_to_int(result.get(), "prereq", &value) < 0) return -1;
  return value;
}

// ---------------------------------------------------------------------------
// Wildcard matching (FTP with WILDCARDMATCH)
// ---------------------------------------------------------------------------

int fnmatch_callback(void* ptr, const char* pattern, const char* string) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_FNMATCH_FUNCTION));
  auto* self = static_cast<CurlObject*>(ptr);
  CallbackEntry frame(self, callback_row(CURLOPT_FNMATCH_FUNCTION),
                      "fnmatch_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  Ref py_pattern = Ref::steal(PyBytes_FromString(pattern ? pattern : ""));
  Ref py_string = Ref::steal(PyBytes_FromString(string ? string : ""));
  if (!py_pattern || !py_string) return callback_failed(failure);
  // As with prereq, an exception stays pending for perform() to raise.
  Ref result = call_callable(callable, py_pattern.get(), py_string.get());
  int value = 0;
  if (callback_return_value_to_int(result.get(), "fnmatch", &value) < 0) return failure;
  return value;
}

// ---------------------------------------------------------------------------
// Wildcard transfers: each matching file
// ---------------------------------------------------------------------------

namespace {

PyObject* bytes_or_none(const char* text) {
  if (text == nullptr) return Py_NewRef(Py_None);
  return PyBytes_FromString(text);
}

// libcurl's record of one file of a wildcard listing as a CurlFileInfo.
// Its time field is always zero; the listing's own time text is given.
PyObject* fileinfo_record(const curl_fileinfo* info) {
  Ref fields[] = {
      Ref::steal(bytes_or_none(info->filename)),
      Ref::steal(PyLong_FromLong(static_cast<long>(info->filetype))),
      Ref::steal(PyLong_FromLongLong(info->size)),
      Ref::steal(PyLong_FromUnsignedLong(info->perm)),
      Ref::steal(PyLong_FromLong(info->uid)),
      Ref::steal(PyLong_FromLong(info->gid)),
      Ref::steal(PyLong_FromLong(info->hardlinks)),
      Ref::steal(bytes_or_none(info->strings.time)),
      Ref::steal(bytes_or_none(info->strings.target)),
      Ref::steal(PyLong_FromUnsignedLong(info->flags)),
  };
  PyObject* args[std::size(fields) + 1] = {nullptr};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    if (!fields[i]) return nullptr;
    args[i + 1] = fields[i].get();
  }
  return PyObject_Vectorcall(kx.curl_fileinfo_type, args + 1,
                             std::size(fields) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// None is OK; an int passes as it is.
long chunk_result(PyObject* result, const char* name, long failure) {
  if (!result) return callback_failed(failure);
  if (result == Py_None) return 0;
  int value = 0;
  if (callback_return_value_to_int(result, name, &value) < 0) return callback_failed(failure);
  return value;
}

}  // namespace

long chunk_bgn_callback(const void* transfer_info, void* ptr, int remains) {
  constexpr long failure = callback_failure(CURLOPT_CHUNK_BGN_FUNCTION);
  auto* self = static_cast<CurlObject*>(ptr);
  CallbackEntry frame(self, callback_row(CURLOPT_CHUNK_BGN_FUNCTION),
                      "chunk_bgn_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return 0;
  Ref info = Ref::steal(fileinfo_record(static_cast<const curl_fileinfo*>(transfer_info)));
  Ref py_remains = Ref::steal(PyLong_FromLong(remains));
  if (!info || !py_remains) return callback_failed(failure);
  Ref result = call_callable(callable, info.get(), py_remains.get());
  return chunk_result(result.get(), "chunk_bgn", failure);
}

long chunk_end_callback(void* ptr) {
  constexpr long failure = callback_failure(CURLOPT_CHUNK_END_FUNCTION);
  auto* self = static_cast<CurlObject*>(ptr);
  CallbackEntry frame(self, callback_row(CURLOPT_CHUNK_END_FUNCTION),
                      "chunk_end_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return 0;
  Ref result = call_callable(callable);
  return chunk_result(result.get(), "chunk_end", failure);
}

// ---------------------------------------------------------------------------
// Start of name resolution
// ---------------------------------------------------------------------------

// libcurl's resolver state and reserved pointer mean nothing to Python code.
int resolver_start_callback(void* /*resolver_state*/, void* /*reserved*/, void* userdata) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_RESOLVER_START_FUNCTION));
  auto* self = static_cast<CurlObject*>(userdata);
  CallbackEntry frame(self, callback_row(CURLOPT_RESOLVER_START_FUNCTION),
                      "resolver_start_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  Ref result = call_callable(callable);
  if (!result) return callback_failed(failure);
  if (result.get() == Py_None) return 0;
  int value = 0;
  if (callback_return_value_to_int(result.get(), "resolver_start", &value) < 0) {
    // An int beyond the C int range leaves an OverflowError to report.
    if (exception_pending()) print_callback_error_if_regular_exception();
    return failure;
  }
  return value;
}

// ---------------------------------------------------------------------------
// Trailing headers of a chunked upload
// ---------------------------------------------------------------------------

// libcurl frees whatever list it finds in *list after the call, whatever the
// answer, so the list is handed over only once it is complete.
int trailer_callback(curl_slist** list, void* userdata) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_TRAILERFUNCTION));
  *list = nullptr;
  auto* self = static_cast<CurlObject*>(userdata);
  CallbackEntry frame(self, callback_row(CURLOPT_TRAILERFUNCTION),
                      "trailer_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  Ref result = call_callable(callable);
  if (!result) return callback_failed(failure);
  if (result.get() == Py_None) return CURL_TRAILERFUNC_OK;
  const int which = PyListOrTuple_Check(result.get());
  if (which == 0) {
    set_error_text("trailer callback must return None or a list/tuple of header strings");
    return callback_failed(failure);
  }
  const Py_ssize_t count = PyListOrTuple_Size(result.get(), which);
  if (count == 0) return CURL_TRAILERFUNC_OK;
  curl_slist* trailers = kelvex_list_or_tuple_to_slist(which, result.get(), count);
  if (trailers == nullptr) return callback_failed(failure);
  *list = trailers;
  return CURL_TRAILERFUNC_OK;
}
