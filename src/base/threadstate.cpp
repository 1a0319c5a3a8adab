// The thread-state primitive (threadstate.h): entering and leaving through a
// slot, waiting claims and the refusals.
//
// libcurl calls back on the thread that drives a transfer, while that thread
// has detached from the interpreter. The thread state it detached from is
// parked in a slot (which one serves which handle, access.h says) so that a
// callback can re-attach with exactly that thread state and detach again
// before returning to libcurl.
#include "threadstate.h"

#include <sched.h>

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
