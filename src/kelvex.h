// Internal header shared by every source file of kelvex._kelvex: the object
// records, the process-wide globals, the owning handle types and the routines
// that one file offers to the others.
//
// Built with exceptions and RTTI off: nothing here may throw, and nothing
// called from here may either.
#ifndef KELVEX_H
#define KELVEX_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

// The module exposes libcurl's legacy interfaces (forms, PROGRESSFUNCTION,
// IOCTLFUNCTION, ...) on purpose; their deprecation is reported to Python
// callers as DeprecationWarning instead.
#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include <sys/select.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#if LIBCURL_VERSION_NUM < 0x081500
#error "kelvex needs the headers of libcurl 8.21.0 or newer"
#endif
#if PY_VERSION_HEX < 0x030D0000
#error "kelvex needs the headers of CPython 3.13 or newer"
#endif

// ---------------------------------------------------------------------------
// Owning handle types
// ---------------------------------------------------------------------------

// Owns one strong reference to a Python object. Move-only; the destructor
// releases. `release()` hands the reference over to an API that steals it.
class Ref {
 public:
  constexpr Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a new reference (which may be null after a failed call).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  void reset(PyObject* obj = nullptr) noexcept {
    PyObject* old = obj_;
    obj_ = obj;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Owns a Py_buffer filled by PyObject_GetBuffer or the argument parser
// ("y*", "w*"). Released exactly once, on every path.
class BufferGuard {
 public:
  BufferGuard() noexcept { std::memset(&view_, 0, sizeof(view_)); }
  BufferGuard(const BufferGuard&) = delete;
  BufferGuard& operator=(const BufferGuard&) = delete;
  ~BufferGuard() { reset(); }

  // Fills the buffer from an object; returns -1 with an exception set.
  int acquire(PyObject* obj, int flags) noexcept {
    reset();
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
    held_ = true;
    return 0;
  }
  // For parsers that fill the buffer themselves: mark it as held.
  Py_buffer* fill() noexcept {
    reset();
    held_ = true;
    return &view_;
  }
  void reset() noexcept {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }
  Py_buffer& operator*() noexcept { return view_; }
  Py_buffer* operator->() noexcept { return &view_; }

 private:
  Py_buffer view_;
  bool held_ = false;
};

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct HttppostFree {
  void operator()(curl_httppost* post) const noexcept { curl_formfree(post); }
};
struct MimeFree {
  void operator()(curl_mime* mime) const noexcept { curl_mime_free(mime); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;
using HttppostPtr = std::unique_ptr<curl_httppost, HttppostFree>;
using MimePtr = std::unique_ptr<curl_mime, MimeFree>;

// Process-wide raw memory released with PyMem_RawFree.
struct RawFree {
  void operator()(void* p) const noexcept { PyMem_RawFree(p); }
};

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

struct CurlMultiObject;
struct CurlShareObject;
struct CurlMimeObject;

// Size of the error buffer: libcurl writes up to CURL_ERROR_SIZE (256) bytes;
// the extra byte is forced to NUL before the text is read.
inline constexpr std::size_t KELVEX_ERROR_SIZE = CURL_ERROR_SIZE + 1;
static_assert(CURL_ERROR_SIZE == 256, "libcurl's error buffer size changed");

struct CurlObject {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakreflist;
  CURL* handle;
  // Thread-state slot: set only while a libcurl call of this handle runs
  // with the interpreter detached (see DetachedCall).
  PyThreadState* state;
  PyObject* multi_weakref;
  CurlMultiObject* multi_stack;  // borrowed, never counted or traversed
  CurlShareObject* share;        // strong
  PyObject* httppost;            // CurlHttppost
  CurlMimeObject* mime;          // strong
  // A duplicate's libcurl copy of `mime` holds the callback-fed parts' owners
  // that the source held when it was copied: a tuple of them, or null for a
  // document attached with setopt (whose owners are its own lists).
  PyObject* mime_owners;
  PyObject* httpheader;          // the ten CurlSlist owners
  PyObject* proxyheader;
  PyObject* http200aliases;
  PyObject* quote;
  PyObject* postquote;
  PyObject* prequote;
  PyObject* telnetoptions;
  PyObject* resolve;
  PyObject* mail_rcpt;
  PyObject* connect_to;
  PyObject* cb_write;
  int write_use_memoryview;
  PyObject* cb_header;
  int header_use_memoryview;
  PyObject* cb_read;
  PyObject* cb_progress;
  PyObject* cb_xferinfo;
  PyObject* cb_debug;
  PyObject* cb_ioctl;
  PyObject* cb_opensocket;
  PyObject* cb_closesocket;
  PyObject* cb_seek;
  PyObject* cb_sockopt;
  PyObject* cb_ssh_key;
  PyObject* cb_prereq;
  PyObject* cb_fnmatch;
  PyObject* cb_resolver_start;
  PyObject* cb_trailer;
  PyObject* cb_hstsread;
  PyObject* cb_hstswrite;
  PyObject* postfields;  // bytes
  PyObject* ca_certs;    // bytes
  int in_write_callback;
  char error[KELVEX_ERROR_SIZE];
  // The user data libcurl gets for CLOSESOCKETFUNCTION: a number never
  // reused, not this record's address (easycbsocket.cpp says why), and the
  // link of the list of handles that hold one. Both guarded by that list's
  // mutex.
  uintptr_t closesocket_token;
  CurlObject* closesocket_next;
};

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
  PyObject* socket_assignments;  // dict
  PyObject* easies;              // set of Curl, or null once closed
  int close_handles;
};

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

struct CurlMimeObject {
  PyObject_HEAD
  PyObject* curl;  // Curl, strong
  curl_mime* mime_handle;
  PyObject* parts;           // list
  PyObject* submimes;        // list
  PyObject* data_cb_owners;  // list
  int owns_handle;
  // The libcurl part this document is nested under (subparts), borrowed:
  // replacing that part's content makes libcurl free this document.
  curl_mimepart* parent_part;
};

struct CurlMimePartObject {
  PyObject_HEAD
  PyObject* mime;  // CurlMime, strong
  curl_mimepart* part;
  PyObject* data_cb_owner;
};

struct MimeDataCbOwnerObject {
  PyObject_HEAD
  PyObject* read;
  PyObject* seek;
  PyObject* free;
  PyObject* userdata;
  int64_t libcurl_refs;
  int free_called;
};

struct CurlSlistObject {
  PyObject_HEAD
  curl_slist* slist;
};

struct CurlHttppostObject {
  PyObject_HEAD
  curl_httppost* httppost;
  PyObject* reflist;  // list or null
};

// ---------------------------------------------------------------------------
// Globals (module.cpp)
// ---------------------------------------------------------------------------

extern PyTypeObject Curl_Type;
extern PyTypeObject CurlMulti_Type;
extern PyTypeObject CurlShare_Type;
extern PyTypeObject CurlMime_Type;
extern PyTypeObject CurlMimePart_Type;
extern PyTypeObject CurlSlist_Type;
extern PyTypeObject CurlHttppost_Type;

extern PyTypeObject* p_Curl_Type;
extern PyTypeObject* p_CurlMulti_Type;
extern PyTypeObject* p_CurlShare_Type;
extern PyTypeObject* p_CurlMime_Type;
extern PyTypeObject* p_CurlMimePart_Type;
extern PyTypeObject* p_CurlSlist_Type;
extern PyTypeObject* p_CurlHttppost_Type;

extern PyObject* ErrorObject;
extern char* g_kelvex_useragent;
extern PyObject* bytesio;
extern PyObject* stringio;
extern PyObject* khkey_type;
extern PyObject* curl_sockaddr_type;
extern PyObject* hsts_entry_type;
extern PyObject* hsts_index_type;
extern PyObject* datetime_type;
extern PyObject* utc_tz;
extern PyObject* ws_frame_type;
extern PyObject* curlobject_constants;
extern PyObject* curlmultiobject_constants;
extern PyObject* curlshareobject_constants;

// Interned method names used on hot paths, made once at import.
extern PyObject* g_str_write;
extern PyObject* g_str_read;
extern PyObject* g_str_release;
extern PyObject* g_str_getvalue;
extern PyObject* g_str_tzinfo;
extern PyObject* g_str_astimezone;
extern PyObject* g_str_strftime;
extern PyObject* g_str_strptime;

// Registration (module.cpp); each returns 0 or -1.
int insobj2(PyObject* dict1, PyObject* dict2, const char* name, PyObject* value);
int inslong2(PyObject* dict1, PyObject* dict2, const char* name, long long value);
int insstring(PyObject* dict, const char* name, const char* value);

// The constants, registered into the module and per-type dictionaries
// (constants.cpp). Returns 0 or -1.
int kelvex_register_constants(PyObject* module_dict);

// ---------------------------------------------------------------------------
// Thread state and share locks (threadsupport.cpp)
// ---------------------------------------------------------------------------

PyThreadState** kelvex_get_thread_state_slot(CurlObject* self);
PyThreadState* kelvex_get_thread_state(CurlObject* self);
PyThreadState** kelvex_get_thread_state_slot_multi(CurlMultiObject* self);
int kelvex_python_enter(PyThreadState** slot);
void kelvex_python_leave(PyThreadState** slot);

ShareLock* share_lock_new();
void share_lock_destroy(ShareLock* lock);
void share_lock_lock(ShareLock* lock, curl_lock_data kind);
void share_lock_unlock(ShareLock* lock, curl_lock_data kind);
void share_lock_callback(CURL* handle, curl_lock_data kind, curl_lock_access access,
                         void* userptr);
void share_unlock_callback(CURL* handle, curl_lock_data kind, void* userptr);

int kelvex_ssl_init();
void kelvex_ssl_cleanup();

// A slot is claimed with one compare-and-swap from empty to the claiming
// thread's own state, and emptied by that thread alone. Whoever finds it
// set refuses (or, on the few paths that may nest inside a callback, checks
// that the state in it is its own). Reads that only compare with the
// reader's own state need no ordering: only the reader can have written it.
inline PyThreadState* slot_load(PyThreadState* const* slot) noexcept {
  return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
inline bool slot_try_claim(PyThreadState** slot, PyThreadState* tstate) noexcept {
  PyThreadState* expected = nullptr;
  return __atomic_compare_exchange_n(slot, &expected, tstate, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED);
}
inline void slot_release(PyThreadState** slot) noexcept {
  __atomic_store_n(slot, nullptr, __ATOMIC_RELEASE);
}
// Claims a slot that only a short-lived call can be holding (paths that
// cannot refuse: deallocation, and a multi letting go of a handle),
// waiting with the interpreter detached meanwhile.
void slot_claim_wait(PyThreadState** slot);

// A critical section over one or two objects. On the free-threaded build it
// is the interpreter's per-object lock, which it suspends whenever this
// thread detaches (so a thread blocked in libcurl never holds one, and two
// sections can never deadlock); with the GIL it is nothing, the GIL giving
// the same exclusion to code that runs no Python code. It makes concurrent
// short methods of one object wait for each other instead of being refused;
// the claims are what keep a libcurl handle to one thread at a time.
class CriticalSection {
 public:
  CriticalSection() noexcept = default;
  explicit CriticalSection(PyObject* a) noexcept { begin(a); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { end(); }
#ifdef Py_GIL_DISABLED
  void begin(PyObject* a) noexcept {
    end();
    PyCriticalSection_Begin(&cs_._cs_base, a);
    held_ = 1;
  }
  void begin2(PyObject* a, PyObject* b) noexcept {
    end();
    PyCriticalSection2_Begin(&cs_, a, b);
    held_ = 2;
  }
  void end() noexcept {
    if (held_ == 1) PyCriticalSection_End(&cs_._cs_base);
    if (held_ == 2) PyCriticalSection2_End(&cs_);
    held_ = 0;
  }

 private:
  PyCriticalSection2 cs_;
  int held_ = 0;
#else
  void begin(PyObject*) noexcept {}
  void begin2(PyObject*, PyObject*) noexcept {}
  void end() noexcept {}
#endif
};

// Detaches the interpreter around one libcurl call that may block or call
// back. The slot must hold this thread's state already (claimed by the
// caller, or, nested inside a callback, the slot that callback entered
// through), so that the call's callbacks re-attach with exactly that state.
class DetachedCall {
 public:
  explicit DetachedCall(PyThreadState** slot) noexcept : tstate_(PyEval_SaveThread()) {
    assert(tstate_ != nullptr && slot_load(slot) == tstate_);
    (void)slot;
  }
  DetachedCall(const DetachedCall&) = delete;
  DetachedCall& operator=(const DetachedCall&) = delete;
  ~DetachedCall() { PyEval_RestoreThread(tstate_); }

 private:
  PyThreadState* tstate_;
};

// ---------------------------------------------------------------------------
// Text, sequences, attributes, sockets, errors
// (stringcompat.cpp, pythoncompat.cpp, util.cpp)
// ---------------------------------------------------------------------------

int PyText_Check(PyObject* o);
// Returns 0 or -1; `encoded` receives the temporary ASCII bytes of a str.
// With `len` null, embedded NUL bytes are refused.
int PyText_AsStringAndSize(PyObject* obj, char** buffer, Py_ssize_t* len, Ref* encoded);
char* PyText_AsString_NoNUL(PyObject* obj, Ref* encoded);
PyObject* PyText_FromString_Ignore(const char* string);

int PyListOrTuple_Check(PyObject* v);
Py_ssize_t PyListOrTuple_Size(PyObject* v, int which);
PyObject* PyListOrTuple_GetItem(PyObject* v, Py_ssize_t i, int which);

PyObject* my_getattro(PyObject* co, PyObject* name, PyObject* dict1, PyObject* dict2,
                      PyMethodDef* m);
int my_setattro(PyObject** dict, PyObject* name, PyObject* v);

PyObject* PyLong_FromCurlSocket(curl_socket_t sockfd);
int PyLong_AsCurlSocket(PyObject* obj, curl_socket_t* sockfd);

void create_and_set_error_object(CurlObject* self, int code);
// kelvex.error with a single text value.
void set_error_text(const char* text);
// kelvex.error with (code, text).
void set_error_code_text(long code, const char* text);

void warn_failed_to_acquire_thread(const char* message);
void print_callback_error_if_regular_exception();
int check_pending_python_exception_or_signal();

// ---------------------------------------------------------------------------
// Callback frame (easycb.cpp): find the slot, re-attach, detach on every
// return path. Construct it first thing in a trampoline; when `entered()` is
// false the trampoline returns its failure value without touching Python.
// ---------------------------------------------------------------------------

class CallbackFrame {
 public:
  // `warning` is the full RuntimeWarning text, such as
  // "read_callback failed to acquire thread".
  CallbackFrame(CurlObject* self, const char* warning) noexcept;
  CallbackFrame(CurlMultiObject* multi, const char* warning) noexcept;
  CallbackFrame(const CallbackFrame&) = delete;
  CallbackFrame& operator=(const CallbackFrame&) = delete;
  ~CallbackFrame() {
    // slot_ stays null when the frame found its thread attached already.
    if (slot_ != nullptr) kelvex_python_leave(slot_);
  }
  bool entered() const noexcept { return entered_; }

 private:
  void enter(PyThreadState** slot, const char* warning) noexcept;
  PyThreadState** slot_ = nullptr;
  bool entered_ = false;
};

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

// ---------------------------------------------------------------------------
// Trampoline support (easycb*.cpp)
//
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
// Curl (easy.cpp, easyperform.cpp, easyopt.cpp, easycb.cpp, easyinfo.cpp)
// ---------------------------------------------------------------------------

enum CheckFlags : int { CHECK_HANDLE = 1, CHECK_NOT_RUNNING = 2 };

enum ReleaseGroups : unsigned {
  RELEASE_DICT = 1u << 0,
  RELEASE_MULTI = 1u << 1,
  RELEASE_CALLBACKS = 1u << 2,
  RELEASE_POSTFIELDS = 1u << 3,
  RELEASE_SHARE = 1u << 4,
  RELEASE_HTTPPOST = 1u << 5,
  RELEASE_MIME = 1u << 6,
  RELEASE_CA_CERTS = 1u << 7,
  RELEASE_SLISTS = 1u << 8,
  RELEASE_EASY = RELEASE_CALLBACKS | RELEASE_POSTFIELDS | RELEASE_HTTPPOST | RELEASE_MIME |
                 RELEASE_CA_CERTS | RELEASE_SLISTS,
  RELEASE_ALL = RELEASE_EASY | RELEASE_DICT | RELEASE_MULTI | RELEASE_SHARE,
};

inline bool is_curl(PyObject* o) { return PyObject_TypeCheck(o, &Curl_Type); }
inline bool is_multi(PyObject* o) { return PyObject_TypeCheck(o, &CurlMulti_Type); }
inline bool is_share(PyObject* o) { return PyObject_TypeCheck(o, &CurlShare_Type); }
inline bool is_mime(PyObject* o) { return PyObject_TypeCheck(o, &CurlMime_Type); }

void assert_curl_state(const CurlObject* self);
int check_curl_state(const CurlObject* self, int flags, const char* name);

// How a method may find the slot that serves its handle already set: only
// the methods that libcurl allows inside the handle's own callbacks (pause,
// unpause, duphandle, the WebSocket sends) may run on it, and only on the
// thread that set it.
enum class Nesting { refuse, allow };

// The guard of every Curl method that uses the libcurl handle or the
// objects libcurl reads through it. acquire() takes the critical section of
// the Curl (and of its multi, while it belongs to one), checks the handle,
// and claims the slot that serves the handle: the multi's while the handle
// belongs to one, else its own. While it is held no other thread uses the
// handle; a claim found held raises "cannot invoke %s() - perform() is
// currently running". unlock() ends the critical section before a detached
// libcurl call; the destructor gives the claim up.
class CurlAccess {
 public:
  CurlAccess() noexcept = default;
  CurlAccess(const CurlAccess&) = delete;
  CurlAccess& operator=(const CurlAccess&) = delete;
  ~CurlAccess() {
    cs_.end();
    release();
  }
  // 0, or -1 with kelvex.error set. `flags` may hold CHECK_HANDLE.
  // `busy_format` replaces the refusal's text (a format with one %s).
  int acquire(CurlObject* self, int flags, const char* name, Nesting nesting = Nesting::refuse,
              const char* busy_format = nullptr) noexcept;
  void unlock() noexcept { cs_.end(); }
  void release() noexcept {
    if (claimed_) slot_release(slot_);
    claimed_ = false;
  }
  // The slot this method holds: claimed, or (nested) entered by a callback.
  PyThreadState** slot() const noexcept { return slot_; }
  bool nested() const noexcept { return slot_ != nullptr && !claimed_; }

 private:
  CriticalSection cs_;
  Ref multi_;  // keeps the multi whose slot is claimed alive
  PyThreadState** slot_ = nullptr;
  bool claimed_ = false;
};
int util_curl_init(CurlObject* self);
void util_curl_close(CurlObject* self);
void util_curl_xdecref(CurlObject* self, unsigned groups, CURL* handle);

// Holders of libcurl lists and forms (easy.cpp).
int util_curlslist_update(PyObject** field, curl_slist* list);
int util_curlhttppost_update(CurlObject* self, curl_httppost* post, PyObject* reflist);

// Transfers (easyperform.cpp).
PyObject* do_curl_perform(CurlObject* self, PyObject* ignored);
PyObject* do_curl_perform_rb(CurlObject* self, PyObject* ignored);
PyObject* do_curl_perform_rs(CurlObject* self, PyObject* ignored);
PyObject* do_curl_send(CurlObject* self, PyObject* args);
PyObject* do_curl_recv(CurlObject* self, PyObject* args);
PyObject* do_curl_recv_into(CurlObject* self, PyObject* args, PyObject* kwds);
PyObject* do_curl_pause(CurlObject* self, PyObject* args);
PyObject* do_curl_unpause(CurlObject* self, PyObject* ignored);
int check_easy_recv_send_result(CurlObject* self, CURLcode res);
// The byte count of recv_into and ws_recv_into: 0 means the whole buffer;
// a negative count or one beyond the buffer raises ValueError.
int recv_into_size(const Py_buffer& buffer, Py_ssize_t* wanted, const char* name);

// Options (easyopt.cpp).
PyObject* do_curl_setopt(CurlObject* self, PyObject* args, PyObject* kwds);
PyObject* do_curl_unsetopt(CurlObject* self, PyObject* args);
PyObject* do_curl_setopt_string(CurlObject* self, PyObject* args);
PyObject* do_curl_set_ca_certs(CurlObject* self, PyObject* args);
// WRITEDATA, READDATA or HEADERDATA given a file-like object; the caller
// holds the handle (CurlAccess).
PyObject* curl_setopt_filelike_claimed(CurlObject* self, int option, PyObject* obj);
curl_slist* kelvex_list_or_tuple_to_slist(int which, PyObject* sequence, Py_ssize_t count);

// Trampolines: the data path (easycb.cpp), socket and security
// (easycbsocket.cpp).
size_t write_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
size_t header_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
size_t read_callback(char* buffer, size_t size, size_t nitems, void* userdata);
int seek_callback(void* userdata, curl_off_t offset, int origin);
curlioerr ioctl_callback(CURL* handle, int cmd, void* userdata);
CURLcode ssl_ctx_callback(CURL* handle, void* ssl_ctx, void* userdata);
// Progress and notification (easycbnotify.cpp).
int progress_callback(void* clientp, double dltotal, double dlnow, double ultotal, double ulnow);
int xferinfo_callback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow);
int debug_callback(CURL* handle, curl_infotype type, char* data, size_t size, void* userptr);
int prereq_callback(void* clientp, char* conn_primary_ip, char* conn_local_ip,
                    int conn_primary_port, int conn_local_port);
int fnmatch_callback(void* ptr, const char* pattern, const char* string);
int resolver_start_callback(void* resolver_state, void* reserved, void* userdata);
int trailer_callback(curl_slist** list, void* userdata);
// Socket and security (easycbsocket.cpp).
curl_socket_t opensocket_callback(void* clientp, curlsocktype purpose,
                                  struct curl_sockaddr* address);
int sockopt_cb(void* clientp, curl_socket_t curlfd, curlsocktype purpose);
int closesocket_callback(void* clientp, curl_socket_t item);
int ssh_key_cb(CURL* easy, const struct curl_khkey* knownkey, const struct curl_khkey* foundkey,
               enum curl_khmatch match, void* clientp);
// Installs closesocket_callback with this handle's token as its user data
// (the handle is found through libcurl's private pointer); cannot fail.
CURLcode install_closesocket(CURL* handle, CURLoption option);
// A duplicate gets a token of its own; a closed handle gives its token up,
// after which libcurl's late closes of its pooled connections just close.
void closesocket_link(CurlObject* self);
void closesocket_unlink(CurlObject* self);

// HSTS cache load and save (easycbhsts.cpp).
CURLSTScode hstsread_callback(CURL* easy, curl_hstsentry* entry, void* userdata);
CURLSTScode hstswrite_callback(CURL* easy, curl_hstsentry* entry, curl_index* index,
                               void* userdata);

// WebSocket frames (easyws.cpp).
PyObject* do_curl_ws_send(CurlObject* self, PyObject* args, PyObject* kwds);
PyObject* do_curl_ws_recv(CurlObject* self, PyObject* args);
PyObject* do_curl_ws_recv_into(CurlObject* self, PyObject* args, PyObject* kwds);
PyObject* do_curl_ws_meta(CurlObject* self, PyObject* ignored);
PyObject* do_curl_ws_close(CurlObject* self, PyObject* args, PyObject* kwds);

// Information (easyinfo.cpp).
PyObject* do_curl_getinfo(CurlObject* self, PyObject* args);
PyObject* do_curl_getinfo_raw(CurlObject* self, PyObject* args);
PyObject* do_curl_errstr(CurlObject* self, PyObject* ignored);
PyObject* do_curl_errstr_raw(CurlObject* self, PyObject* ignored);

// ---------------------------------------------------------------------------
// CurlMulti (multi.cpp)
// ---------------------------------------------------------------------------

void assert_multi_state(const CurlMultiObject* self);
int check_multi_state(const CurlMultiObject* self, int flags, const char* name);

// The same guard for a CurlMulti: its critical section and its slot, which
// serves the multi's own callbacks and those of every handle in it. A claim
// found held raises "cannot invoke %s() - multi_perform() is currently
// running".
class MultiAccess {
 public:
  MultiAccess() noexcept = default;
  MultiAccess(const MultiAccess&) = delete;
  MultiAccess& operator=(const MultiAccess&) = delete;
  ~MultiAccess() {
    cs_.end();
    release();
  }
  int acquire(CurlMultiObject* self, int flags, const char* name,
              Nesting nesting = Nesting::refuse) noexcept;
  // For add_handle/remove_handle, whose checks read both objects: the
  // section covers the Curl too, and the claim is taken by claim().
  void lock_with(CurlMultiObject* self, CurlObject* curl) noexcept;
  bool claim(CurlMultiObject* self) noexcept;
  void unlock() noexcept { cs_.end(); }
  void release() noexcept {
    if (claimed_) slot_release(slot_);
    claimed_ = false;
  }
  // The slot was let go of and taken by another thread meanwhile.
  void forget() noexcept { claimed_ = false; }
  PyThreadState** slot() const noexcept { return slot_; }
  bool nested() const noexcept { return slot_ != nullptr && !claimed_; }

 private:
  CriticalSection cs_;
  PyThreadState** slot_ = nullptr;
  bool claimed_ = false;
};

// ---------------------------------------------------------------------------
// CurlShare (share.cpp)
// ---------------------------------------------------------------------------

int share_register_easy(CurlShareObject* share, CurlObject* easy);
void share_unregister_easy(CurlShareObject* share, CurlObject* easy);
PyObject* do_curl_setopt_share(CurlObject* self, PyObject* value);

// ---------------------------------------------------------------------------
// CurlMime (mime.cpp)
// ---------------------------------------------------------------------------

PyObject* do_curl_setopt_mimepost(CurlObject* self, PyObject* value);
// duphandle: the callback owners that the source's libcurl document holds
// (a new tuple; null with an exception set), taken before duplicating, and
// one more libcurl-side reference to each once the copy exists.
PyObject* curlmime_data_cb_owners_snapshot(CurlObject* source);
void curlmime_duphandle_incref_data_cb_owners(PyObject* snapshot);

#endif  // KELVEX_H
