// The thread-state primitive (threadstate.h): slot look-ups, the callback
// frame built on them, waiting claims and the method guards of Curl and
// CurlMulti.
//
// libcurl calls back on the thread that drives a transfer, while that thread
// has detached from the interpreter. The thread state it detached from is
// parked in a slot (the Curl object's own, or its multi's) so that a callback
// can re-attach with exactly that thread state and detach again before
// returning to libcurl.
#include "threadstate.h"

#include <sched.h>

#include "easy.h"
#include "module.h"
#include "multi.h"

PyThreadState** kelvex_get_thread_state_slot(CurlObject* self) noexcept {
  if (self == nullptr) return nullptr;
  assert(is_curl(reinterpret_cast<PyObject*>(self)));
  if (slot_load(&self->state) != nullptr) {
    assert(self->handle != nullptr);
    return &self->state;
  }
  CurlMultiObject* multi = self->multi_stack;
  if (multi == nullptr || slot_load(&multi->state) == nullptr) return nullptr;
  assert(self->handle != nullptr);
  return &multi->state;
}

PyThreadState** kelvex_get_thread_state_slot_multi(CurlMultiObject* self) noexcept {
  if (self == nullptr) return nullptr;
  assert(is_multi(reinterpret_cast<PyObject*>(self)));
  if (slot_load(&self->state) == nullptr) return nullptr;
  assert(self->multi_handle != nullptr);
  return &self->state;
}

PyThreadState* kelvex_get_thread_state(CurlObject* self) noexcept {
  PyThreadState** slot = kelvex_get_thread_state_slot(self);
  return slot != nullptr ? slot_load(slot) : nullptr;
}

int kelvex_python_enter(PyThreadState** slot) noexcept {
  if (slot == nullptr) return 0;
  PyThreadState* tstate = slot_load(slot);
  if (tstate == nullptr) return 0;
  PyEval_RestoreThread(tstate);
  return 1;
}

void kelvex_python_leave(PyThreadState** slot) noexcept {
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
  if (parked_by_this_thread(tstate) && kelvex_python_enter(slot)) {
    slot_ = slot;
    entered_ = true;
    return;
  }
  warn_failed_to_acquire_thread(warning);
}

void refuse_closed(const char* name, const char* what) {
  set_error_format("cannot invoke %s() - no %s", name, what);
}

void refuse_busy(const char* format, const char* name) { set_error_format(format, name); }

// The warning of a callback that found no slot to enter: attached with the
// ensure-and-release protocol for the duration of the warning only.
void warn_failed_to_acquire_thread(const char* message) {
  AttachedThread attached;
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
    // Warnings turned into errors cannot propagate out of a libcurl
    // callback; report it instead of leaving it on a thread state that
    // may be about to go away.
    PyErr_WriteUnraisable(nullptr);
  }
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
    refuse_closed(name, "curl handle");
    return -1;
  }
  PyThreadState** slot = multi != nullptr ? &multi->state : &self->state;
  if (nesting == Nesting::allow && slot_load(slot) == me) {
    slot_ = slot;
    return 0;
  }
  if (!slot_try_claim(slot, me)) {
    refuse_busy(busy_format != nullptr ? busy_format : kPerformRunning, name);
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
    refuse_closed(name, "multi handle");
    return -1;
  }
  if (nesting == Nesting::allow && slot_load(&self->state) == PyThreadState_Get()) {
    slot_ = &self->state;
    return 0;
  }
  if (!claim(self)) {
    refuse_busy(kMultiPerformRunning, name);
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

