// The guards: the only way for code to reach a libcurl handle (access.cpp).
//
// Each derives from HandleGuard (threadstate.h): its constructor takes the
// object's critical section and the claim that keeps the handle to this
// thread, its destructor gives both back, and `handle()` is the handle it
// guards. A blocking libcurl call runs inside `detach()`, on the slot the
// guard holds. These are where the rules of one object inside another live:
// a Curl that belongs to a multi is served by the multi's slot, and a MIME
// document by the claim of the Curl it was made for. scripts/check_guards.py
// (run by the test suite) fails on a handle read outside them.
#ifndef KELVEX_ACCESS_H
#define KELVEX_ACCESS_H

#include "threadstate.h"

struct CurlObject;
struct CurlMultiObject;
struct CurlMimeObject;
struct CurlMimePartObject;
struct CurlShareObject;

// The slot that serves a handle's callbacks right now: a Curl's own while
// one of its calls holds it, else its multi's while that is held; null when
// neither is. The own slot comes first: closing a handle that belongs to a
// multi holds both for a moment, on one thread, with the same state in each.
PyThreadState** kelvex_get_thread_state_slot(CurlObject* self) noexcept;
PyThreadState** kelvex_get_thread_state_slot_multi(CurlMultiObject* self) noexcept;
// The state in the slot that serves a Curl, or null.
PyThreadState* kelvex_get_thread_state(CurlObject* self) noexcept;

// What CallbackFrame asks of its owner.
inline PyThreadState** serving_slot(CurlObject* self) noexcept {
  return kelvex_get_thread_state_slot(self);
}
inline PyThreadState** serving_slot(CurlMultiObject* self) noexcept {
  return kelvex_get_thread_state_slot_multi(self);
}

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

 private:
  CurlMultiObject* multi_;
};

// The guard of a CurlMime document or one of its parts: the claim of the
// Curl the document was made for (CurlAccess), kept alive for as long as it
// is held, since libcurl reads the document during that handle's
// transfers. A method that builds with other methods of the same document
// (add_multipart) runs them inside its own claim. Refused too while a
// part's content is being replaced on this thread (ContentChange,
// mimeshared.h).
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
  explicit TeardownGuard(PyThreadState** slot, PyObject* owner = nullptr) noexcept {
    keep_ = Ref::borrow(owner);
    held_ = true;
    if (slot != nullptr) claim_waiting(slot);
  }
};

#endif  // KELVEX_ACCESS_H
