// The TransferRun and TransferPerformer objects (transferrun.cpp): what
// EventCore.awaitable() and EventCore.performer() return. They stand above
// the core (eventcore.h) and its futures (transferfuture.h), and give the
// core the means to make them (core_run_makers) when the module is set up.
#ifndef KELVEX_TRANSFERRUN_H
#define KELVEX_TRANSFERRUN_H

#include "pyutil.h"

// The TransferRun object: the coroutine that EventCore.awaitable() returns.
// Its first step starts the transfer (EventCore.future() when `loop` is the
// running loop and the core open, else start(curl, body)), and it then
// waits for the future; leaving it before the end (a cancelled task, a
// throw() or close()) cuts the transfer.
extern PyTypeObject TransferRun_Type;

PyObject* transfer_run_new(PyObject* core, PyObject* curl, PyObject* loop, bool body,
                           PyObject* start);

// The TransferPerformer object: a callable f(curl) that returns
// transfer_run_new(core, curl, loop, body, start), made by
// EventCore.performer(). Called once per transfer, it spares the caller a
// Python function around awaitable().
extern PyTypeObject TransferPerformer_Type;

PyObject* transfer_performer_new(PyObject* core, PyObject* loop, bool body, PyObject* start);

// Fills in core_run_makers; once, before the first EventCore is made.
void transfer_run_install();

#endif  // KELVEX_TRANSFERRUN_H
