// The records of Curl, CurlMulti, CurlShare, CurlMime and CurlMimePart, as
// the guards (access.h) and the objects' own files read them, with the
// handle and slot fields they keep, whose pointers only the guards read.
// Below the access layer: the guards read these records and nothing of the
// object files, so that every object may call the guards.
#ifndef KELVEX_RECORDS_H
#define KELVEX_RECORDS_H

#include <sys/select.h>

#include "callbackoptions.h"
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
// below read it, and teardown reads it through the guard it holds
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

#endif  // KELVEX_RECORDS_H
