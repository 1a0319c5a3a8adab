// The TransferFuture object (transferfuture.cpp): the future of one
// transfer of an EventCore, made by EventCore.future(). It knows nothing of
// the core, which completes it through transfer_future_complete(). It
// behaves as an asyncio future bound to one loop (awaitable, done callbacks
// scheduled with the loop's call_soon, cancel(), result(), exception()),
// with one difference that makes it cheap to await: when the core completes
// it from a loop callback with no task running, a task waiting on it is
// stepped at once rather than through a call_soon and a handle of the loop.
#ifndef KELVEX_TRANSFERFUTURE_H
#define KELVEX_TRANSFERFUTURE_H

#include "pyutil.h"

extern PyTypeObject TransferFuture_Type;

inline bool is_transfer_future(PyObject* op) { return Py_IS_TYPE(op, &TransferFuture_Type); }

// A new pending future bound to `loop`, or null with an exception set.
PyObject* transfer_future_new(PyObject* loop);

// What one run of completions learned about the loop it runs on: whether
// this thread runs that loop with no task stepping now, so that waiting
// tasks may be stepped at once. Asked once per loop per run.
struct WakeScope {
  PyObject* loop = nullptr;  // borrowed: the loop last asked about
  bool direct = false;
  // A done asyncio future of that loop, made on the first step: what the
  // stepped tasks are woken with (see step_now in transferfuture.cpp).
  Ref resumed;
};

// Completes a pending future with `result`, an exception instance failing
// it; a future done already (cancelled meanwhile) is left alone. Returns 0,
// or -1 with the exception that a stepped task let through (SystemExit,
// KeyboardInterrupt) set. Attached, with no claim held.
int transfer_future_complete(PyObject* future, PyObject* result, WakeScope* scope);

// The await step of a future (its iterator's next): the future itself
// while pending, for the awaiting task to wait on; once done, null with
// StopIteration carrying the result, or with its exception (CancelledError
// when cancelled) set; null with nothing set for a result of None.
PyObject* transfer_future_next(PyObject* future);

// Whether the future was cancelled.
bool transfer_future_cancelled(PyObject* future);

// asyncio._get_running_loop(): the loop this thread runs now, or None; a
// new reference, or null with an exception set.
PyObject* running_asyncio_loop();

#endif  // KELVEX_TRANSFERFUTURE_H
