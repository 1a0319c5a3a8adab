// The records of Curl, CurlMulti, CurlShare, CurlMime and CurlMimePart, as
// the guards (access.h) and the objects' own files read them, with the
// handle and slot fields they keep, whose pointers only the guards read.
// Below the access layer: the guards read these records and nothing of the
// object files, so that every object may call the guards.
#ifndef KELVEX_RECORDS_H
#define KELVEX_RECORDS_H

#include <sys/select.h>

#include "callbackoptions.h"
#include "globals.h"
#include "pyutil.h"
#include "threadstate.h"

struct CurlObject;
struct CurlMultiObject;
struct CurlMimeObject;
struct CurlMimePartObject;
struct CurlShareObject;
struct EventCoreObject;

class CurlAccess;
class MultiAccess;
class MimeAccess;
class ShareAccess;
class IdleCurlClaim;

// ---------------------------------------------------------------------------
// The handle field
// ---------------------------------------------------------------------------

// A libcurl handle as a record keeps it. Its pointer is private: the guards
// (access.h) read it, and teardown reads it through the guard it holds
// (teardown_handle). Anyone may test it for null, compare it with a
// pointer, store a handle just made into an object being made (adopt), or
// drop one libcurl freed already (forget): none of these reaches libcurl.
// `Owner` keeps the kinds apart, since libcurl declares CURL, CURLM and
// CURLSH all as void. No initialiser, so the records stay trivial and the
// interpreter's zeroed allocation is an empty field.
template <typename Raw, typename Owner>
class LibcurlHandle {
 public:
  bool open() const noexcept { return raw_ != nullptr; }
  bool is(const Raw* raw) const noexcept { return raw_ == raw; }
  // The address as a lookup key: const, so libcurl's functions refuse it.
  const Raw* key() const noexcept { return raw_; }
  void adopt(Raw* fresh) noexcept {
    assert(raw_ == nullptr);
    raw_ = fresh;
  }
  void forget() noexcept { raw_ = nullptr; }

 private:
  friend class CurlAccess;
  friend class MultiAccess;
  friend class MimeAccess;
  friend class ShareAccess;
  friend class IdleCurlClaim;
  template <typename R, typename O>
  friend R* teardown_handle(const HandleGuard& held, const LibcurlHandle<R, O>& field) noexcept;
  Raw* raw_;
};

using CurlHandle = LibcurlHandle<CURL, CurlObject>;
using MultiHandle = LibcurlHandle<CURLM, CurlMultiObject>;
using ShareHandle = LibcurlHandle<CURLSH, CurlShareObject>;
using MimeHandle = LibcurlHandle<curl_mime, CurlMimeObject>;
using MimePartHandle = LibcurlHandle<curl_mimepart, CurlMimePartObject>;

// The one way to a handle besides a guard's own: taking it apart (closing,
// clearing, destroying, or a multi letting go of its members), by the
// holder of a guard of the slot that serves it, a TeardownGuard or the
// method's own.
template <typename Raw, typename Owner>
Raw* teardown_handle(const HandleGuard& held, const LibcurlHandle<Raw, Owner>& field) noexcept {
  (void)held;
  return field.raw_;
}

// A thread-state slot as a record keeps it (threadstate.h says what a slot
// is). Only the access layer reaches it: which slot serves a handle, and
// who claims it, is decided there alone. Zeroed by the interpreter's
// allocation, it is empty.
class ThreadSlot {
 private:
  friend struct SlotOf;
  PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// Curl
// ---------------------------------------------------------------------------

// Size of the error buffer: libcurl writes up to CURL_ERROR_SIZE (256) bytes;
// the extra byte is forced to NUL before the text is read.
inline constexpr std::size_t KELVEX_ERROR_SIZE = CURL_ERROR_SIZE + 1;
static_assert(CURL_ERROR_SIZE == 256, "libcurl's error buffer size changed");

struct CurlObject {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakreflist;
  CurlHandle handle;
  // Thread-state slot: set only while a libcurl call of this handle runs
  // with the interpreter detached (see DetachedCall).
  ThreadSlot state;
  PyObject* multi_weakref;
  CurlMultiObject* multi_stack;  // borrowed, never counted or traversed
  CurlShareObject* share;        // strong
  // The share registry's key for this handle, kept from attaching so that
  // letting go of the share allocates nothing and always removes the entry.
  PyObject* share_key;
  PyObject* httppost;            // CurlHttppost
  CurlMimeObject* mime;          // strong
  // A duplicate's libcurl copy of `mime` holds the callback-fed parts' owners
  // that the source held when it was copied: a tuple of them, or null for a
  // document attached with setopt (whose owners are its own lists).
  PyObject* mime_owners;
  // The document set as MIMEPOST was closed while set: libcurl would send
  // an empty body in its place, so transfers are refused until the body is
  // set again (or MIMEPOST unset).
  int mime_closed;
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
  // The callables of the callable options, one per row of
  // kCallbackOptions (callbackoptions.h); curl_callable names one.
  PyObject* callables[kCallbackCount];
  // Bit `row` set: that row's callable takes memoryviews (CB_MEMORYVIEW).
  std::uint32_t memoryview_rows;
  PyObject* postfields;  // bytes
  PyObject* ca_certs;    // bytes
  int in_write_callback;
  // Set while an M_PUSHFUNCTION callable holds this new Curl of a pushed
  // stream, whose handle libcurl is still handing over.
  int in_push_callback;
  // NOPROGRESS as the caller set it. libcurl itself always calls the
  // progress trampoline (easycbnotify.cpp), which honours this flag.
  int noprogress;
  // Set while libcurl's own NOPROGRESS is 1: an event core turned its
  // progress calls off for a transfer that needs none, and left them off
  // for the next one. Whatever starts a transfer says which it needs
  // (curl_set_progress_calls). Changed only by the claim's holder.
  bool progress_calls_off;
  // PIPEWAIT: whether the caller set it, and whether an event core turned
  // it on. The core's transfers wait for a connection that can multiplex
  // (HTTP/2 and 3 to one origin share one) unless the caller chose.
  // Changed only by the claim's holder.
  bool pipewait_chosen;
  bool pipewait_by_core;
  char error[KELVEX_ERROR_SIZE];
  // The user data libcurl gets for CLOSESOCKETFUNCTION: a number never
  // reused, not this record's address (easycbsocket.cpp says why), and the
  // link of the list of handles that hold one. Both guarded by that list's
  // mutex.
  uintptr_t closesocket_token;
  CurlObject* closesocket_next;
};

static_assert(kCallbackCount <= 32, "memoryview_rows has a bit per row");

extern PyTypeObject Curl_Type;
inline bool is_curl(PyObject* o) { return PyObject_TypeCheck(o, &Curl_Type); }
inline CurlObject* as_curl(PyObject* o) { return reinterpret_cast<CurlObject*>(o); }

inline void assert_curl_state(const CurlObject* self) {
  assert(self != nullptr);
  assert(is_curl(reinterpret_cast<PyObject*>(const_cast<CurlObject*>(self))));
  (void)self;
}

// libcurl's progress calls on or off for the transfer about to start,
// with a call to libcurl only when that changes them. Every transfer
// outside an event core needs them on: the signal checks and the progress
// callables ride on them. `handle` is the one the caller's claim gave.
inline void curl_set_progress_calls(CurlObject* self, CURL* handle, bool on) {
  if (self->progress_calls_off == !on) return;
  (void)curl_easy_setopt(handle, CURLOPT_NOPROGRESS, on ? 0L : 1L);
  self->progress_calls_off = !on;
}

// The callable of a callable option, by the option: its place in the
// record is fixed at compile time.
template <CURLoption kOption>
inline PyObject*& curl_callable(CurlObject* self) {
  return self->callables[callback_row(kOption)];
}
template <CURLoption kOption>
inline PyObject* curl_callable(const CurlObject* self) {
  return self->callables[callback_row(kOption)];
}
inline bool curl_uses_memoryview(const CurlObject* self, std::size_t row) {
  return ((self->memoryview_rows >> row) & 1u) != 0;
}
inline void curl_set_memoryview(CurlObject* self, std::size_t row, bool on) {
  const std::uint32_t bit = std::uint32_t{1} << row;
  self->memoryview_rows = on ? self->memoryview_rows | bit : self->memoryview_rows & ~bit;
}

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

// A field of the Curl record that holds a Python object.
using ObjectField = PyObject* CurlObject::*;

// Owners of the libcurl string lists, in release order.
constexpr ObjectField kSlistFields[] = {
    &CurlObject::httpheader, &CurlObject::proxyheader,   &CurlObject::http200aliases,
    &CurlObject::quote,      &CurlObject::postquote,     &CurlObject::prequote,
    &CurlObject::telnetoptions, &CurlObject::resolve,    &CurlObject::mail_rcpt,
    &CurlObject::connect_to,
};

// The document set as MIMEPOST, and what a duplicate's copy of it holds.
inline void curl_release_mime(CurlObject* self, CURL* handle) {
  if (self->mime != nullptr) {
    // libcurl must stop pointing at the document before it can go away.
    // Setting null cannot fail for a valid handle.
    if (handle != nullptr) (void)curl_easy_setopt(handle, CURLOPT_MIMEPOST, nullptr);
    Py_CLEAR(self->mime);
  }
  self->mime_closed = 0;
  Py_CLEAR(self->mime_owners);
}

// The groups of the record's own references, in their order of processing
// (the share, which another object owns, is util_curl_xdecref's). Each
// member is emptied before its reference is dropped, so code run by the
// release never sees it.
struct CurlReleaseGroup {
  unsigned bit;
  void (*release)(CurlObject* self, CURL* handle);
};

inline constexpr CurlReleaseGroup kCurlReleaseGroups[] = {
    {RELEASE_DICT, [](CurlObject* self, CURL*) { Py_CLEAR(self->dict); }},
    {RELEASE_MULTI,
     [](CurlObject* self, CURL*) {
       self->multi_stack = nullptr;  // borrowed
       Py_CLEAR(self->multi_weakref);
     }},
    {RELEASE_CALLBACKS,
     [](CurlObject* self, CURL*) {
       for (PyObject*& callable : self->callables) Py_CLEAR(callable);
       self->memoryview_rows = 0;
     }},
    {RELEASE_POSTFIELDS, [](CurlObject* self, CURL*) { Py_CLEAR(self->postfields); }},
    {RELEASE_HTTPPOST, [](CurlObject* self, CURL*) { Py_CLEAR(self->httppost); }},
    {RELEASE_MIME, curl_release_mime},
    {RELEASE_CA_CERTS, [](CurlObject* self, CURL*) { Py_CLEAR(self->ca_certs); }},
    {RELEASE_SLISTS,
     [](CurlObject* self, CURL*) {
       for (ObjectField field : kSlistFields) Py_CLEAR(self->*field);
     }},
};

// Releases the groups (ReleaseGroups) of the record's own references, in
// their order; RELEASE_SHARE is util_curl_xdecref's (easy.h). `handle` is
// the one the caller's claim or teardown gave, or null once it is gone.
inline void curl_release(CurlObject* self, unsigned groups, CURL* handle) {
  for (const CurlReleaseGroup& group : kCurlReleaseGroups) {
    if (groups & group.bit) group.release(self, handle);
  }
}

// The handle of a pushed stream belongs to libcurl until the push callable
// has answered: what would run it, end it or hand it to a multi is refused
// meanwhile. 0, or -1 with kelvex.error set; read under the Curl's section.
inline int refuse_while_pushing(const CurlObject* self, const char* name) {
  if (self->in_push_callback == 0) return 0;
  PyErr_Format(kx.ErrorObject, "cannot invoke %s() - the push callback is running", name);
  return -1;
}

// kelvex.error (code, text) for a failed libcurl call of this handle: the
// text of its error buffer, or libcurl's text for the code.
inline void create_and_set_error_object(CurlObject* self, int code) {
  self->error[sizeof(self->error) - 1] = '\0';
  set_error_curl_code(code, self->error);
}

// libcurl writes the error buffer on a handle's first failure after a
// transfer starts and never empties it besides, so text found there after a
// failed call may be an earlier call's. Around one call that is not a
// transfer: the buffer reads empty unless this call wrote it (a failure then
// takes libcurl's text for its code), and what was there before comes back
// when it did not, so errstr() keeps giving the last transfer's text.
class ErrorBufferScope {
 public:
  explicit ErrorBufferScope(CurlObject* self) noexcept : error_(self->error), saved_(self->error[0]) {
    error_[0] = '\0';
  }
  ErrorBufferScope(const ErrorBufferScope&) = delete;
  ErrorBufferScope& operator=(const ErrorBufferScope&) = delete;
  ~ErrorBufferScope() {
    if (error_[0] == '\0') error_[0] = saved_;
  }

 private:
  char* error_;
  char saved_;
};

// The refusal of a transfer while `mime_closed` is set; %s is the method.
inline constexpr char kMimeClosed[] =
    "cannot invoke %s() - the CurlMime document set as MIMEPOST was closed; keep it open "
    "until the transfer ends, or set MIMEPOST (or another body) again";

// ---------------------------------------------------------------------------
// CurlMulti
// ---------------------------------------------------------------------------

struct CurlMultiObject {
  PyObject_HEAD
  PyObject* dict;
  PyObject* weakreflist;
  MultiHandle multi_handle;
  ThreadSlot state;  // the multi's thread-state slot
  fd_set read_fd_set;
  fd_set write_fd_set;
  fd_set exc_fd_set;
  PyObject* cb_timer;
  PyObject* cb_socket;
  PyObject* cb_notify;
  PyObject* cb_push;
  PyObject* socket_assignments;  // dict
  PyObject* easies;              // set of Curl, or null once closed
  // A weak reference to this object, held from creation to deallocation so
  // that every member's reference to its multi (Curl.multi_weakref) is
  // this one object rather than a new one per add.
  PyObject* weakself;
  int close_handles;
  // The EventCore that drives this multi (eventcore.cpp), borrowed: the
  // core holds the multi and clears this when it lets go. Set and cleared
  // by the thread that holds the multi's slot, under its section.
  EventCoreObject* core;
  // wakeup() reaches the handle from any thread at any time, beside
  // whatever holds the multi (MultiAccess::wakeup): under this lock, until
  // close() marks the handle closed, before cleaning it up.
  PyMutex wakeup_lock;
  bool wakeup_closed;
  // What that core must learn of the multi's members, which it fills in
  // with `core`: the multi knows the core by nothing else. A member in
  // flight on it is being closed and has just left libcurl's multi handle
  // (multi_close_member); called attached, with the multi's slot held.
  void (*core_member_closed)(EventCoreObject* core, CurlObject* curl);
};

extern PyTypeObject CurlMulti_Type;
inline bool is_multi(PyObject* o) { return PyObject_TypeCheck(o, &CurlMulti_Type); }

// ---------------------------------------------------------------------------
// CurlShare
// ---------------------------------------------------------------------------

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
  ShareHandle share_handle;
  ShareLock* lock;
  PyMutex mutex;     // guards share_handle and easies
  PyObject* easies;  // dict: address of each attached Curl -> weak reference to it
  int detach_on_close;
};

extern PyTypeObject CurlShare_Type;
inline bool is_share(PyObject* o) { return PyObject_TypeCheck(o, &CurlShare_Type); }

// ---------------------------------------------------------------------------
// CurlMime and CurlMimePart
// ---------------------------------------------------------------------------

struct CurlMimeObject {
  PyObject_HEAD
  PyObject* curl;  // Curl, strong
  MimeHandle mime_handle;
  PyObject* parts;           // list
  PyObject* submimes;        // list
  PyObject* data_cb_owners;  // list
  int owns_handle;
  // The libcurl part this document is nested under (subparts), borrowed:
  // replacing that part's content makes libcurl free this document.
  curl_mimepart* parent_part;
};

extern PyTypeObject CurlMime_Type;
inline bool is_mime(PyObject* o) { return PyObject_TypeCheck(o, &CurlMime_Type); }
inline CurlMimeObject* as_mime(PyObject* o) { return reinterpret_cast<CurlMimeObject*>(o); }

// Whether the document is still open, read under its section: a close()
// on another thread empties the handle there, claim or no claim here.
inline bool curlmime_is_open(CurlMimeObject* mime) {
  CriticalSection cs(reinterpret_cast<PyObject*>(mime));
  return mime->mime_handle.open();
}

struct CurlMimePartObject {
  PyObject_HEAD
  PyObject* mime;  // CurlMime, strong
  MimePartHandle part;
  PyObject* data_cb_owner;
};

extern PyTypeObject CurlMimePart_Type;
inline bool is_part(PyObject* o) { return PyObject_TypeCheck(o, &CurlMimePart_Type); }
inline CurlMimePartObject* as_part(PyObject* o) { return reinterpret_cast<CurlMimePartObject*>(o); }

#endif  // KELVEX_RECORDS_H
