// The guards: the only way for code to reach a libcurl handle (access.cpp).
//
// Each derives from HandleGuard (threadstate.h): its constructor takes the
// object's critical section and the claim that keeps the handle to this
// thread, its destructor gives both back, and `handle()` is the handle it
// guards. A blocking libcurl call runs inside `detach()`, on the slot the
// guard holds. These are where the rules of one object inside another live:
// a Curl that belongs to a multi is served by the multi's slot, and a MIME
// document by the claim of the Curl it was made for.
//
// The records (records.h) keep their libcurl handles in a LibcurlHandle,
// whose pointer only the guards read: code that reaches for it any other way does not
// compile. Helpers that need a handle take the guard, or the pointer it
// gave, as a parameter.
#ifndef KELVEX_ACCESS_H
#define KELVEX_ACCESS_H

#include "threadstate.h"

struct CurlObject;
struct CurlMultiObject;
struct CurlMimeObject;
struct CurlMimePartObject;
struct CurlShareObject;

class CurlAccess;
class MultiAccess;
class MimeAccess;
class ShareAccess;
class IdleCurlClaim;

// ---------------------------------------------------------------------------
// Slots: which one serves a handle
// ---------------------------------------------------------------------------

// The state in the slot that serves a Curl's callbacks right now (see
// CallbackFrame), or null.
PyThreadState* kelvex_get_thread_state(CurlObject* self) noexcept;

// Whether a call holds the Curl's own slot, or the multi's: add_handle and
// remove_handle refuse then.
bool own_slot_claimed(const CurlObject* curl) noexcept;
bool slot_claimed(const CurlMultiObject* multi) noexcept;
// Whether this thread holds the multi's slot (for assertions).
bool slot_held_here(const CurlMultiObject* multi) noexcept;
// Whether one of the Curl's calls runs on this thread, its state parked in
// the slot that serves the handle.
bool served_on_this_thread(CurlObject* curl) noexcept;

// The guard of every Curl method that uses the libcurl handle or the
// objects libcurl reads through it. It takes the critical section of the
// Curl (and of its multi, while it belongs to one), checks the handle
// (CHECK_HANDLE), and claims the slot that serves the handle: the multi's
// while the handle belongs to one, else its own. While it is held no other
// thread uses the handle; a claim found held raises "cannot invoke %s() -
// perform() is currently running", or `busy_format` (one %s) when given.
class CurlAccess : public HandleGuard {
 public:
  CurlAccess(CurlObject* self, int flags, const char* name, Nesting nesting = Nesting::refuse,
             const char* busy_format = nullptr) noexcept {
    acquire(self, flags, name, nesting, busy_format);
  }
  CURL* handle() const noexcept;
  CurlObject* curl() const noexcept { return curl_; }
  // A document made for this Curl, which its claim covers too.
  curl_mime* document(CurlMimeObject* mime) const noexcept;

 protected:
  CurlAccess() noexcept = default;
  bool acquire(CurlObject* self, int flags, const char* name, Nesting nesting,
               const char* busy_format) noexcept;
  CurlObject* curl_ = nullptr;
};

// The guard of a CurlMulti: its critical section and its slot, which
// serves the multi's own callbacks and those of every handle in it. A claim
// found held raises "cannot invoke %s() - multi_perform() is currently
// running".
class MultiAccess : public HandleGuard {
 public:
  MultiAccess(CurlMultiObject* self, int flags, const char* name,
              Nesting nesting = Nesting::refuse) noexcept;
  // For add_handle/remove_handle, whose checks read both objects: the
  // section covers the Curl too, and the claim is taken by claim() once the
  // checks pass.
  MultiAccess(CurlMultiObject* self, CurlObject* curl) noexcept;
  bool claim() noexcept;
  // Lets the multi go before the guard does (select()'s wait).
  void release() noexcept { give_back(); }
  CURLM* handle() const noexcept;
  // The handle of a Curl that belongs to this multi, which the multi's
  // claim serves too.
  CURL* member(CurlObject* curl) const noexcept;
  // The handle for a libcurl callback of the multi (C++ only), which runs
  // inside a call made by the holder of its claim.
  static CURLM* in_callback(CurlMultiObject* multi) noexcept;
  // libcurl's curl_multi_wakeup, the one call libcurl lets any thread make
  // at any time: no claim, only the multi's wakeup lock, which close()
  // takes before the handle goes. CURLM_BAD_HANDLE once closed.
  static CURLMcode wakeup(CurlMultiObject* multi) noexcept;

 private:
  CurlMultiObject* multi_;
};

// libcurl runs the free hooks of a part's old content (free callables,
// nested documents) in the middle of replacing it. Python code run from
// there must not reach libcurl's MIME calls again on this thread: a second
// replacement of the same part would free the old content twice. A
// ContentChange marks the replacement; MimeAccess, and the MIME calls that
// take no guard, refuse meanwhile (refuse_during_content_change: -1 with
// kelvex.error set, else 0).
extern thread_local int t_content_changes;

class ContentChange {
 public:
  ContentChange() noexcept { ++t_content_changes; }
  ContentChange(const ContentChange&) = delete;
  ContentChange& operator=(const ContentChange&) = delete;
  ~ContentChange() { --t_content_changes; }
};

int refuse_during_content_change(const char* name);

// A strong reference to a field that teardown empties under the owner's
// section (curlmime_invalidate_wrappers): another thread may be closing
// the document at this very moment.
Ref field_ref(PyObject* owner, PyObject* const& field);

// The guard of a CurlMime document or one of its parts: the claim of the
// Curl the document was made for (CurlAccess), kept alive for as long as it
// is held, since libcurl reads the document during that handle's
// transfers. A method that builds with other methods of the same document
// (add_multipart) runs them inside its own claim. Refused too while a
// part's content is being replaced on this thread (ContentChange).
class MimeAccess : public CurlAccess {
 public:
  MimeAccess(CurlMimeObject* mime, const char* name, int flags = CHECK_HANDLE) noexcept;
  MimeAccess(CurlMimePartObject* part, const char* name) noexcept;
  // The Curl alone, for a document being made for it or closed (a null
  // Curl, one already let go of, holds nothing to claim).
  MimeAccess(CurlObject* curl, const char* name, int flags) noexcept;
  ~MimeAccess();
  // The document's handle, and the part's (for the part's guard).
  curl_mime* handle() const noexcept;
  curl_mimepart* part_handle() const noexcept;

 private:
  bool acquire_curl(CurlObject* owner, Ref keep, const char* name, int flags) noexcept;
  bool acquire_document(CurlMimeObject* mime, const char* name, int flags) noexcept;
  CurlMimeObject* mime_ = nullptr;
  CurlMimePartObject* part_ = nullptr;
  CurlObject* previous_ = nullptr;
  bool outermost_ = false;
};

// The guard of a CurlShare: its mutex, which guards the share handle and
// the registry of attached Curls, held for the guard's life. libcurl
// serialises the shared data itself through the lock callbacks, so the
// share has no slot.
class ShareAccess : public HandleGuard {
 public:
  ShareAccess(CurlShareObject* self, int flags, const char* name) noexcept;
  // Lets the mutex go before an exception is made (the registry may be
  // dropped meanwhile; the refusal needs neither).
  void unlock() noexcept { lock_.unlock(); }
  CURLSH* handle() const noexcept;

 private:
  MutexGuard lock_;
  CurlShareObject* share_;
};

// The guard of teardown (a collector's clear, a finalizer, deallocation,
// and the close of a handle): the object is unreachable or being closed,
// yet a call that reached it through a borrowed pointer may still be
// finishing, so the slot is waited for instead of refused. A slot this
// thread holds already (a teardown run from inside one of its own calls)
// is used as it is; a null slot holds nothing. Takes no critical section:
// teardown runs callbacks and Python code.
// `owner`, the object the slot belongs to, is kept alive until the slot is
// given back: what the teardown releases may hold its last reference.
class TeardownGuard : public HandleGuard {
 public:
  // A Curl's own slot.
  explicit TeardownGuard(CurlObject* curl) noexcept;
  // A multi's own slot.
  explicit TeardownGuard(CurlMultiObject* multi) noexcept;
  // The slot that serves a Curl: its multi's while it belongs to one, else
  // its own.
  static TeardownGuard serving(CurlObject* curl) noexcept;
  // The slot of the multi a Curl belongs to (nothing when it belongs to
  // none), with that multi kept alive when `keep` says so; a multi in its
  // own deallocation must not be.
  enum class Keep { none, multi };
  static TeardownGuard of_multi(CurlObject* curl, Keep keep) noexcept;
  // An object no other thread can reach any more (a finalizer, the
  // collector's clear, deallocation), whose handle no call uses: nothing
  // to claim.
  static TeardownGuard unreachable() noexcept { return TeardownGuard(nullptr, nullptr); }

 private:
  TeardownGuard(PyThreadState** slot, PyObject* owner) noexcept {
    keep_ = Ref::borrow(owner);
    held_ = true;
    if (slot != nullptr) claim_waiting(slot);
  }
};

// A Curl taken as its own methods take it, but from outside them (a share
// letting go of its handles) and without a critical section: its own slot,
// which keeps it out of any multi meanwhile, then its multi's, read and
// claimed under the handle's section (which a multi letting go of its
// handles takes), which keeps the multi from driving it and from going
// away. Neither is waited for: a Curl inside a call of its own, or in a
// multi inside a driving call, is busy, and the claim then tests false.
class IdleCurlClaim : public HandleGuard {
 public:
  explicit IdleCurlClaim(CurlObject* curl) noexcept;
  ~IdleCurlClaim();
  CURL* handle() const noexcept;

 private:
  CurlObject* curl_;
  PyThreadState** multi_slot_ = nullptr;
};

// ---------------------------------------------------------------------------
// Callback frame: find the slot, re-attach, detach on every return path.
// Construct it first thing in a trampoline; when `entered()` is false the
// trampoline returns its failure value without touching Python.
// ---------------------------------------------------------------------------

class CallbackFrame {
 public:
  // `owner` is the Curl or CurlMulti whose callback runs. The slot that
  // serves it right now is a Curl's own while one of its calls holds it,
  // else its multi's while that is held; none when neither is. The own slot
  // comes first: closing a handle that belongs to a multi holds both for a
  // moment, on one thread, with the same state in each. `warning` is the
  // full RuntimeWarning text, such as "read_callback failed to acquire
  // thread".
  CallbackFrame(CurlObject* owner, const char* warning) noexcept;
  CallbackFrame(CurlMultiObject* owner, const char* warning) noexcept;
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

#endif  // KELVEX_ACCESS_H
