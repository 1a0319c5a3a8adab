// Thread-state slots, the callback frame built on them, the share lock block
// and the TLS hooks.
//
// libcurl calls back on the thread that drives a transfer, while that thread
// has detached from the interpreter. The thread state it detached from is
// parked in a slot (the Curl object's own, or its multi's) so that a callback
// can re-attach with exactly that thread state and detach again before
// returning to libcurl.
#include "kelvex.h"

#include <sched.h>

PyThreadState** kelvex_get_thread_state_slot(CurlObject* self) {
  if (self == nullptr) return nullptr;
  assert(is_curl(reinterpret_cast<PyObject*>(self)));
  // The own slot comes first: closing a handle that belongs to a multi
  // holds both for a moment, on one thread, with the same state in each.
  if (slot_load(&self->state) != nullptr) {
    assert(self->handle != nullptr);
    return &self->state;
  }
  CurlMultiObject* multi = self->multi_stack;
  if (multi == nullptr || slot_load(&multi->state) == nullptr) return nullptr;
  assert(self->handle != nullptr);
  return &multi->state;
}

PyThreadState* kelvex_get_thread_state(CurlObject* self) {
  PyThreadState** slot = kelvex_get_thread_state_slot(self);
  return slot != nullptr ? slot_load(slot) : nullptr;
}

PyThreadState** kelvex_get_thread_state_slot_multi(CurlMultiObject* self) {
  if (self == nullptr) return nullptr;
  assert(is_multi(reinterpret_cast<PyObject*>(self)));
  if (slot_load(&self->state) == nullptr) return nullptr;
  assert(self->multi_handle != nullptr);
  return &self->state;
}

int kelvex_python_enter(PyThreadState** slot) {
  if (slot == nullptr) return 0;
  PyThreadState* tstate = slot_load(slot);
  if (tstate == nullptr) return 0;
  PyEval_RestoreThread(tstate);
  return 1;
}

void kelvex_python_leave(PyThreadState** slot) {
  if (slot == nullptr || slot_load(slot) == nullptr) {
    Py_FatalError("kelvex_python_leave: NULL thread state slot");
  }
  if (PyThreadState_GetUnchecked() != slot_load(slot)) {
    Py_FatalError("kelvex_python_leave: attached thread state differs from slot");
  }
  PyThreadState* tstate = PyEval_SaveThread();
  (void)tstate;
  assert(tstate == slot_load(slot));
}

CallbackFrame::CallbackFrame(CurlObject* self, const char* warning) noexcept {
  // During finalization thread states may be gone; touch nothing.
  if (Py_IsFinalizing()) return;
  enter(kelvex_get_thread_state_slot(self), warning);
}

CallbackFrame::CallbackFrame(CurlMultiObject* multi, const char* warning) noexcept {
  if (Py_IsFinalizing()) return;
  enter(kelvex_get_thread_state_slot_multi(multi), warning);
}

void CallbackFrame::enter(PyThreadState** slot, const char* warning) noexcept {
  // A libcurl call made with this thread still attached (duphandle, whose
  // copy loads its HSTS cache through the read callback) calls back on that
  // state: Python runs on it, and there is nothing to re-attach or release.
  // Restoring the slot's state on top of it would abort the interpreter.
  if (PyThreadState_GetUnchecked() != nullptr) {
    entered_ = true;
    return;
  }
  // Only the state this very thread parked may be restored here. A
  // callback can reach a handle whose call runs on another thread (a
  // connection of a shared pool closed by some other transfer): that
  // thread's state is not ours to take.
  PyThreadState* tstate = slot != nullptr ? slot_load(slot) : nullptr;
  if (tstate != nullptr && tstate == PyGILState_GetThisThreadState() &&
      kelvex_python_enter(slot)) {
    slot_ = slot;
    entered_ = true;
    return;
  }
  warn_failed_to_acquire_thread(warning);
}

void slot_claim_wait(PyThreadState** slot) {
  PyThreadState* const me = PyThreadState_Get();
  while (!slot_try_claim(slot, me)) {
    Py_BEGIN_ALLOW_THREADS
    sched_yield();
    Py_END_ALLOW_THREADS
  }
}

int CurlAccess::acquire(CurlObject* self, int flags, const char* name, Nesting nesting,
                        const char* busy_format) noexcept {
  assert_curl_state(self);
  assert(slot_ == nullptr);
  PyThreadState* const me = PyThreadState_Get();
  PyObject* const curl = reinterpret_cast<PyObject*>(self);
  CurlMultiObject* multi = nullptr;
  for (;;) {
    cs_.begin(curl);
    multi = self->multi_stack;
    if (multi == nullptr || self->multi_weakref == nullptr) break;
    // A multi whose last reference is gone cannot be resolved: it is being
    // destroyed, and it lets go of this handle only under this handle's
    // section, which we hold, so its record is still there to claim.
    PyObject* alive = nullptr;
    if (PyWeakref_GetRef(self->multi_weakref, &alive) <= 0) {
      PyErr_Clear();
      break;
    }
    multi_ = Ref::steal(alive);
#ifdef Py_GIL_DISABLED
    // Both sections at once (taken in address order by the interpreter);
    // the membership may have changed while neither was held.
    cs_.begin2(curl, alive);
    if (self->multi_stack != multi) {
      cs_.end();
      multi_.reset();
      continue;
    }
#endif
    break;
  }
  if ((flags & CHECK_HANDLE) && self->handle == nullptr) {
    PyErr_Format(ErrorObject, "cannot invoke %s() - no curl handle", name);
    return -1;
  }
  PyThreadState** slot = multi != nullptr ? &multi->state : &self->state;
  if (nesting == Nesting::allow && slot_load(slot) == me) {
    slot_ = slot;
    return 0;
  }
  if (!slot_try_claim(slot, me)) {
    PyErr_Format(ErrorObject,
                 busy_format != nullptr ? busy_format
                                        : "cannot invoke %s() - perform() is currently running",
                 name);
    return -1;
  }
  slot_ = slot;
  claimed_ = true;
  return 0;
}

int MultiAccess::acquire(CurlMultiObject* self, int flags, const char* name,
                         Nesting nesting) noexcept {
  assert(slot_ == nullptr);
  cs_.begin(reinterpret_cast<PyObject*>(self));
  if ((flags & CHECK_HANDLE) && self->multi_handle == nullptr) {
    PyErr_Format(ErrorObject, "cannot invoke %s() - no multi handle", name);
    return -1;
  }
  if (nesting == Nesting::allow && slot_load(&self->state) == PyThreadState_Get()) {
    slot_ = &self->state;
    return 0;
  }
  if (!claim(self)) {
    PyErr_Format(ErrorObject, "cannot invoke %s() - multi_perform() is currently running", name);
    return -1;
  }
  return 0;
}

void MultiAccess::lock_with(CurlMultiObject* self, CurlObject* curl) noexcept {
  cs_.begin2(reinterpret_cast<PyObject*>(self), reinterpret_cast<PyObject*>(curl));
}

bool MultiAccess::claim(CurlMultiObject* self) noexcept {
  assert(slot_ == nullptr);
  if (!slot_try_claim(&self->state, PyThreadState_Get())) return false;
  slot_ = &self->state;
  claimed_ = true;
  return true;
}

// Share lock block. PyMutex_Lock/PyMutex_Unlock are the interpreter's own
// one-byte protocol: an uncontended compare-and-swap, parking only when the
// byte is taken. A thread that parks here detaches from the interpreter
// while it waits, so a holder that needs the interpreter can still finish.

ShareLock* share_lock_new() {
  auto* lock = static_cast<ShareLock*>(PyMem_RawCalloc(1, sizeof(ShareLock)));
  if (lock == nullptr) PyErr_NoMemory();
  return lock;
}

void share_lock_destroy(ShareLock* lock) {
  assert(lock != nullptr);
  PyMem_RawFree(lock);
}

void share_lock_lock(ShareLock* lock, curl_lock_data kind) {
  assert(static_cast<int>(kind) >= 0 && static_cast<int>(kind) < KELVEX_LOCK_DATA_KINDS);
  PyMutex_Lock(&lock->locks[kind]);
}

void share_lock_unlock(ShareLock* lock, curl_lock_data kind) {
  assert(static_cast<int>(kind) >= 0 && static_cast<int>(kind) < KELVEX_LOCK_DATA_KINDS);
  PyMutex_Unlock(&lock->locks[kind]);
}

// libcurl's share lock callbacks. They run on transfer threads with the
// interpreter detached and must touch nothing but the lock block. Every lock
// is exclusive, whatever access libcurl asks for.
void share_lock_callback(CURL*, curl_lock_data kind, curl_lock_access, void* userptr) {
  auto* share = static_cast<CurlShareObject*>(userptr);
  share_lock_lock(share->lock, kind);
}

void share_unlock_callback(CURL*, curl_lock_data kind, void* userptr) {
  auto* share = static_cast<CurlShareObject*>(userptr);
  share_lock_unlock(share->lock, kind);
}

// OpenSSL 3 initialises itself; nothing to set up or tear down.
int kelvex_ssl_init() { return 0; }
void kelvex_ssl_cleanup() {}
