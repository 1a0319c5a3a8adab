// TransferFuture: the future of one EventCore transfer, awaitable on an
// asyncio loop.
//
// A task awaiting it sees a future-compatible object: the task reads
// `_asyncio_future_blocking`, reads its `_loop`, and registers its wakeup
// with add_done_callback(wakeup, context=...). When the core completes the
// future from process() on the thread that runs the loop, outside any task
// (an event loop's reader callback), that wakeup is called at once in the
// task's context: the task runs its next step there, as it would have from
// the loop's queue a moment later, without the call_soon, the handle and
// the loop's turn. Every other callback, and every callback of a future
// completed another way (cancel(), set_result(), set_exception()), is
// scheduled with the loop's call_soon, as asyncio's futures do.
//
// The future does not know its transfer: cancelling it only cancels it,
// and whoever awaits it removes the transfer from the core (kelvex.aio
// does so when the awaiting task is cancelled), as with any waiter given
// to EventCore.add().
#include "transferfuture.h"

#include "easy.h"
#include "eventcore.h"
#include "module.h"
#include "threadstate.h"

#include "docstrings.h"

#include <atomic>
#include <cstring>

namespace {

enum class FutureState : unsigned char { pending, finished, cancelled };

struct TransferFutureObject {
  PyObject_HEAD
  PyObject* weakreflist;
  PyObject* loop;  // strong
  // Once finished: the result, or the exception when `failed`.
  PyObject* result;
  PyObject* cancel_message;  // strong, or null
  // The first done callback and its context, kept inline since it is
  // nearly always the only one (the awaiting task's); the others are
  // (callback, context) tuples in `more`, a list or null.
  PyObject* callback;
  PyObject* context;
  PyObject* more;
  FutureState state;
  bool failed;
  bool blocking;  // asyncio's _asyncio_future_blocking
};

TransferFutureObject* as_future(PyObject* op) { return reinterpret_cast<TransferFutureObject*>(op); }

// What the future needs of asyncio, looked up when the first future is
// made: asyncio is imported by then, since a loop was given.
struct AsyncioNames {
  PyObject* task_type;            // asyncio.Task (the C type)
  PyObject* future_type;          // asyncio.Future (the C type)
  PyObject* cancelled_error;      // asyncio.CancelledError
  PyObject* invalid_state_error;  // asyncio.InvalidStateError
  PyObject* current_task;         // asyncio.current_task
  PyObject* running_loop;         // asyncio._get_running_loop
  PyObject* str_call_soon;
  PyObject* kw_context;           // ("context",)
  PyObject* kw_loop;              // ("loop",)
};

AsyncioNames names{};
std::atomic<bool> names_ready{false};
PyMutex names_mutex{};

int load_names() {
  if (names_ready.load(std::memory_order_acquire)) return 0;
  MutexGuard guard(names_mutex);
  if (names_ready.load(std::memory_order_relaxed)) return 0;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return -1;
  Ref task_type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "Task"));
  Ref future_type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "Future"));
  Ref cancelled = Ref::steal(PyObject_GetAttrString(asyncio.get(), "CancelledError"));
  Ref invalid = Ref::steal(PyObject_GetAttrString(asyncio.get(), "InvalidStateError"));
  Ref current = Ref::steal(PyObject_GetAttrString(asyncio.get(), "current_task"));
  Ref running = Ref::steal(PyObject_GetAttrString(asyncio.get(), "_get_running_loop"));
  Ref call_soon = Ref::steal(PyUnicode_InternFromString("call_soon"));
  Ref loop_name = Ref::steal(PyUnicode_InternFromString("loop"));
  Ref kw_loop = Ref::steal(loop_name ? PyTuple_Pack(1, loop_name.get()) : nullptr);
  Ref context = Ref::steal(PyUnicode_InternFromString("context"));
  Ref kw_context = Ref::steal(context ? PyTuple_Pack(1, context.get()) : nullptr);
  if (!task_type || !future_type || !cancelled || !invalid || !current || !running || !call_soon || !kw_context ||
      !kw_loop) {
    return -1;
  }
  if (!PyType_Check(task_type.get())) {
    PyErr_SetString(PyExc_TypeError, "asyncio.Task is not a type");
    return -1;
  }
  // Kept for the life of the process, like the interned names.
  names = AsyncioNames{task_type.release(), future_type.release(), cancelled.release(), invalid.release(),
                       current.release(), running.release(), call_soon.release(),
                       kw_context.release(), kw_loop.release()};
  names_ready.store(true, std::memory_order_release);
  return 0;
}

// loop.call_soon(callback, future, context=context).
int schedule(PyObject* loop, PyObject* callback, PyObject* future, PyObject* context) {
  PyObject* args[] = {loop, callback, future, context};
  Ref handle = Ref::steal(PyObject_VectorcallMethod(names.str_call_soon, args,
                                                    3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                    names.kw_context));
  return handle ? 0 : -1;
}

// Whether `callback` is the wakeup that an asyncio task registers on the
// future it waits for. Any other callable (and this one, should a later
// asyncio name it otherwise) is scheduled.
bool is_task_wakeup(PyObject* callback) {
  if (!PyCFunction_Check(callback)) return false;
  PyObject* owner = PyCFunction_GET_SELF(callback);
  if (owner == nullptr ||
      !PyObject_TypeCheck(owner, reinterpret_cast<PyTypeObject*>(names.task_type))) {
    return false;
  }
  const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(callback)->m_ml;
  return def != nullptr && def->ml_name != nullptr && std::strcmp(def->ml_name, "task_wakeup") == 0;
}

// Whether this thread runs `loop` now, outside any task: then a task
// stepped from here is stepped as from the loop's own queue.
bool may_step_now(WakeScope* scope, PyObject* loop) {
  if (scope->loop == loop) return scope->direct;
  scope->loop = loop;
  scope->direct = false;
  scope->resumed.reset();
  Ref running = Ref::steal(PyObject_CallNoArgs(names.running_loop));
  if (running && running.get() == loop) {
    Ref task = Ref::steal(PyObject_CallOneArg(names.current_task, loop));
    scope->direct = task && task.get() == Py_None;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return scope->direct;
}

// asyncio.Future(loop=loop), done with None.
Ref done_future(PyObject* loop) {
  PyObject* args[] = {nullptr, loop};
  Ref future = Ref::steal(PyObject_Vectorcall(names.future_type, args + 1,
                                              PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_loop));
  if (!future) return future;
  PyObject* call[] = {future.get(), Py_None};
  Ref answer = Ref::steal(PyObject_VectorcallMethod(kx.str_set_result, call,
                                                    2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!answer) return Ref();
  return future;
}

// Runs the task's wakeup now, in the task's context. 0, 1 when it could
// not be (the caller schedules it instead), or -1 with the exception the
// step let through.
//
// The task is woken with a done asyncio future rather than with this one:
// a task's wakeup only asks its argument whether it failed, then resumes
// the coroutine, whose `await` asks this future again for the outcome
// (result or exception, raised at the await either way). asyncio's own
// futures answer the wakeup without a method call, which this type cannot.
int step_now(PyObject* callback, WakeScope* scope, PyObject* context) {
  if (!scope->resumed) {
    scope->resumed = done_future(scope->loop);
    if (!scope->resumed) {
      PyErr_Clear();
      scope->direct = false;
      return 1;
    }
  }
  if (PyContext_Enter(context) < 0) {
    PyErr_Clear();  // entered already somewhere up the stack
    return 1;
  }
  Ref answer = Ref::steal(PyObject_CallOneArg(callback, scope->resumed.get()));
  Ref raised = Ref::steal(answer ? nullptr : PyErr_GetRaisedException());
  if (PyContext_Exit(context) < 0) PyErr_WriteUnraisable(callback);
  if (!raised) return 0;
  // As from a handle of the loop: SystemExit and KeyboardInterrupt go on
  // up, anything else is reported.
  if (PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(raised.release());
    PyErr_WriteUnraisable(callback);
    return 0;
  }
  PyErr_SetRaisedException(raised.release());
  return -1;
}

// Runs or schedules the callbacks taken from a future that just became
// done. `scope` is null when no callback may run now. 0, or -1 with an
// exception set (the first failure; the other callbacks still run).
int run_callbacks(PyObject* op, PyObject* loop, Ref callback, Ref context, Ref more,
                  WakeScope* scope) {
  Ref raised;
  if (callback) {
    int stepped = 1;
    if (scope != nullptr && is_task_wakeup(callback.get()) && may_step_now(scope, loop)) {
      stepped = step_now(callback.get(), scope, context.get());
      if (stepped < 0) raised = Ref::steal(PyErr_GetRaisedException());
    }
    if (stepped == 1 && schedule(loop, callback.get(), op, context.get()) < 0) {
      raised = Ref::steal(PyErr_GetRaisedException());
    }
  }
  if (more) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(more.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(more.get(), i);
      if (schedule(loop, PyTuple_GET_ITEM(pair, 0), op, PyTuple_GET_ITEM(pair, 1)) < 0) {
        if (raised) {
          PyErr_WriteUnraisable(op);
        } else {
          raised = Ref::steal(PyErr_GetRaisedException());
        }
      }
    }
  }
  if (!raised) return 0;
  PyErr_SetRaisedException(raised.release());
  return -1;
}

// Makes a pending future done: 1 when it was done already, else what
// run_callbacks returns.
int finish(PyObject* op, FutureState state, PyObject* result, bool failed, WakeScope* scope) {
  TransferFutureObject* self = as_future(op);
  Ref callback, context, more, loop;
  {
    CriticalSection cs(op);
    if (self->state != FutureState::pending) return 1;
    self->state = state;
    self->failed = failed;
    if (state == FutureState::finished) {
      self->result = Py_NewRef(result);
    } else {
      self->cancel_message = Py_XNewRef(result);
    }
    callback = Ref::steal(self->callback);
    context = Ref::steal(self->context);
    more = Ref::steal(self->more);
    self->callback = self->context = self->more = nullptr;
    loop = Ref::borrow(self->loop);
  }
  return run_callbacks(op, loop.get(), std::move(callback), std::move(context), std::move(more),
                       scope);
}

// The CancelledError of a cancelled future, set as the current exception.
void raise_cancelled(TransferFutureObject* self) {
  PyObject* message = self->cancel_message;
  if (message != nullptr && message != Py_None) {
    PyErr_SetObject(names.cancelled_error, message);
  } else {
    PyErr_SetNone(names.cancelled_error);
  }
}

// Raises the stored exception again.
void raise_failure(PyObject* exception) {
  PyErr_SetRaisedException(Py_NewRef(exception));
}

// A future's outcome, read at once.
struct Outcome {
  FutureState state = FutureState::pending;
  bool failed = false;
  Ref result;  // the result, or the exception when `failed`; null while pending
};

Outcome outcome_of(PyObject* op) {
  TransferFutureObject* self = as_future(op);
  CriticalSection cs(op);
  return Outcome{self->state, self->failed, Ref::borrow(self->result)};
}

// ---------------------------------------------------------------------------
// The awaitable protocol
// ---------------------------------------------------------------------------

PyObject* do_future_await(PyObject* op) { return Py_NewRef(op); }

// The iterator `await` drives: yields the future itself while pending
// (the task then waits for it), and then ends with the result.
PyObject* do_future_next(PyObject* op) {
  TransferFutureObject* self = as_future(op);
  Outcome done;
  {
    CriticalSection cs(op);
    if (self->state == FutureState::pending) {
      self->blocking = true;
      return Py_NewRef(op);
    }
    done = Outcome{self->state, self->failed, Ref::borrow(self->result)};
  }
  if (done.state == FutureState::cancelled) {
    raise_cancelled(self);
    return nullptr;
  }
  if (done.failed) {
    raise_failure(done.result.get());
    return nullptr;
  }
  // None ends the iteration without an exception object.
  if (done.result.get() == Py_None) return nullptr;
  Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, done.result.get()));
  if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* do_future_result(PyObject* op, PyObject*) {
  Outcome done = outcome_of(op);
  if (done.state == FutureState::pending) {
    PyErr_SetString(names.invalid_state_error, "Result is not ready.");
    return nullptr;
  }
  if (done.state == FutureState::cancelled) {
    raise_cancelled(as_future(op));
    return nullptr;
  }
  if (done.failed) {
    raise_failure(done.result.get());
    return nullptr;
  }
  return done.result.release();
}

PyObject* do_future_exception(PyObject* op, PyObject*) {
  Outcome done = outcome_of(op);
  if (done.state == FutureState::pending) {
    PyErr_SetString(names.invalid_state_error, "Exception is not set.");
    return nullptr;
  }
  if (done.state == FutureState::cancelled) {
    raise_cancelled(as_future(op));
    return nullptr;
  }
  return done.failed ? done.result.release() : Py_NewRef(Py_None);
}

PyObject* do_future_done(PyObject* op, PyObject*) {
  CriticalSection cs(op);
  return PyBool_FromLong(as_future(op)->state != FutureState::pending);
}

PyObject* do_future_cancelled(PyObject* op, PyObject*) {
  CriticalSection cs(op);
  return PyBool_FromLong(as_future(op)->state == FutureState::cancelled);
}

// `_loop` rather than get_loop(): asyncio asks for get_loop() first and
// falls back to `_loop`, which a task then reads without a bound method
// made and called for each await.
PyObject* do_future_get_loop(PyObject* op, void*) {
  CriticalSection cs(op);
  return Py_NewRef(as_future(op)->loop);
}

PyObject* do_future_cancel(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const kwlist[] = {"msg", nullptr};
  static KeywordParser parser = keyword_parser("|O:cancel", kwlist);
  PyObject* message = Py_None;
  if (!parse_args_keywords(args, nargs, kwnames, &parser, &message)) return nullptr;
  const int done = finish(op, FutureState::cancelled, message, false, nullptr);
  if (done < 0) return nullptr;
  return PyBool_FromLong(done == 0);
}

PyObject* set_outcome(PyObject* op, PyObject* result, bool failed) {
  const int done = finish(op, FutureState::finished, result, failed, nullptr);
  if (done < 0) return nullptr;
  if (done == 1) {
    PyErr_SetString(names.invalid_state_error, "invalid state");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_future_set_result(PyObject* op, PyObject* result) {
  return set_outcome(op, result, false);
}

PyObject* do_future_set_exception(PyObject* op, PyObject* exception) {
  Ref instance;
  if (PyExceptionClass_Check(exception)) {
    instance = Ref::steal(PyObject_CallNoArgs(exception));
    if (!instance) return nullptr;
  } else {
    instance = Ref::borrow(exception);
  }
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_SetString(PyExc_TypeError, "invalid exception object");
    return nullptr;
  }
  if (PyErr_GivenExceptionMatches(instance.get(), PyExc_StopIteration)) {
    PyErr_SetString(PyExc_TypeError,
                    "StopIteration interacts badly with generators and cannot be raised into a "
                    "Future");
    return nullptr;
  }
  return set_outcome(op, instance.get(), true);
}

PyObject* do_future_add_done_callback(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  static const char* const kwlist[] = {"", "context", nullptr};
  static KeywordParser parser = keyword_parser("O|$O:add_done_callback", kwlist);
  PyObject* callback = nullptr;
  PyObject* context = Py_None;
  // The task's own call: the callback, then context= by keyword (a name
  // asyncio does not intern).
  if (nargs == 1 && kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 1 &&
      PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, 0), "context")) {
    callback = args[0];
    context = args[1];
  } else if (!parse_args_keywords(args, nargs, kwnames, &parser, &callback, &context)) {
    return nullptr;
  }
  Ref held_context;
  if (context == Py_None) {
    held_context = Ref::steal(PyContext_CopyCurrent());
    if (!held_context) return nullptr;
  } else {
    held_context = Ref::borrow(context);
  }
  TransferFutureObject* self = as_future(op);
  Ref loop;
  {
    CriticalSection cs(op);
    if (self->state == FutureState::pending) {
      if (self->callback == nullptr) {
        self->callback = Py_NewRef(callback);
        self->context = held_context.release();
        Py_RETURN_NONE;
      }
      Ref pair = Ref::steal(PyTuple_Pack(2, callback, held_context.get()));
      if (!pair) return nullptr;
      if (self->more == nullptr) {
        self->more = PyList_New(0);
        if (self->more == nullptr) return nullptr;
      }
      if (PyList_Append(self->more, pair.get()) < 0) return nullptr;
      Py_RETURN_NONE;
    }
    loop = Ref::borrow(self->loop);
  }
  if (schedule(loop.get(), callback, op, held_context.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_future_remove_done_callback(PyObject* op, PyObject* callback) {
  TransferFutureObject* self = as_future(op);
  // The registrations are compared outside the section, on a snapshot: a
  // comparison runs Python code, which may add or remove this future's
  // callbacks (and drop the list being walked). What matched is removed
  // afterwards by identity, if it is still there.
  Ref first, more;
  {
    CriticalSection cs(op);
    first = Ref::borrow(self->callback);
    more = Ref::borrow(self->more);
  }
  bool first_matched = false;
  if (first) {
    const int same = PyObject_RichCompareBool(first.get(), callback, Py_EQ);
    if (same < 0) return nullptr;
    first_matched = same == 1;
  }
  Ref matched;  // the (callback, context) pairs of `more` that matched
  if (more) {
    Ref pairs = Ref::steal(PyList_GetSlice(more.get(), 0, PY_SSIZE_T_MAX));
    if (!pairs) return nullptr;
    matched = Ref::steal(PyList_New(0));
    if (!matched) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
      const int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair, 0), callback, Py_EQ);
      if (same < 0) return nullptr;
      if (same == 1 && PyList_Append(matched.get(), pair) < 0) return nullptr;
    }
  }
  // Dropped after the section: releasing a callable may run Python code.
  Ref dropped_callback, dropped_context, dropped_more;
  Py_ssize_t removed = 0;
  {
    CriticalSection cs(op);
    if (first_matched && self->callback == first.get()) {
      dropped_callback = Ref::steal(self->callback);
      dropped_context = Ref::steal(self->context);
      self->callback = self->context = nullptr;
      ++removed;
    }
    if (matched && PyList_GET_SIZE(matched.get()) > 0 && self->more != nullptr) {
      Ref kept = Ref::steal(PyList_New(0));
      if (!kept) return nullptr;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self->more); ++i) {
        PyObject* pair = PyList_GET_ITEM(self->more, i);
        bool drop = false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(matched.get()) && !drop; ++j) {
          drop = PyList_GET_ITEM(matched.get(), j) == pair;
        }
        if (drop) {
          ++removed;
        } else if (PyList_Append(kept.get(), pair) < 0) {
          return nullptr;
        }
      }
      dropped_more = Ref::steal(self->more);
      self->more = kept.release();
    }
  }
  return PyLong_FromSsize_t(removed);
}

PyObject* do_future_get_blocking(PyObject* op, void*) {
  CriticalSection cs(op);
  return PyBool_FromLong(as_future(op)->blocking);
}

int do_future_set_blocking(PyObject* op, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute");
    return -1;
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  CriticalSection cs(op);
  as_future(op)->blocking = truth != 0;
  return 0;
}

PyObject* do_future_repr(PyObject* op) {
  FutureState state;
  {
    CriticalSection cs(op);
    state = as_future(op)->state;
  }
  const char* text = state == FutureState::pending    ? "pending"
                     : state == FutureState::finished ? "finished"
                                                      : "cancelled";
  return PyUnicode_FromFormat("<kelvex.TransferFuture %s>", text);
}

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

using FutureReferences =
    ReferenceFields<TransferFutureObject, &TransferFutureObject::loop, &TransferFutureObject::result,
                    &TransferFutureObject::cancel_message, &TransferFutureObject::callback,
                    &TransferFutureObject::context, &TransferFutureObject::more>;
constexpr auto do_future_traverse = &FutureReferences::traverse;
constexpr auto do_future_clear = &FutureReferences::clear;
constexpr auto do_future_dealloc = &FutureReferences::dealloc;

PyMethodDef future_methods[] = {
    {"result", do_future_result, METH_NOARGS, transfer_future_result_doc},
    {"exception", do_future_exception, METH_NOARGS, transfer_future_exception_doc},
    {"done", do_future_done, METH_NOARGS, transfer_future_done_doc},
    {"cancelled", do_future_cancelled, METH_NOARGS, transfer_future_cancelled_doc},
    {"cancel", method(do_future_cancel), METH_FASTCALL | METH_KEYWORDS, transfer_future_cancel_doc},
    {"set_result", do_future_set_result, METH_O, transfer_future_set_result_doc},
    {"set_exception", do_future_set_exception, METH_O, transfer_future_set_exception_doc},
    {"add_done_callback", method(do_future_add_done_callback), METH_FASTCALL | METH_KEYWORDS,
     transfer_future_add_done_callback_doc},
    {"remove_done_callback", do_future_remove_done_callback, METH_O,
     transfer_future_remove_done_callback_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef future_getsets[] = {
    {"_loop", do_future_get_loop, nullptr, transfer_future_loop_doc, nullptr},
    {"_asyncio_future_blocking", do_future_get_blocking, do_future_set_blocking, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods future_as_async = {
    .am_await = do_future_await,
    .am_aiter = nullptr,
    .am_anext = nullptr,
    .am_send = nullptr,
};

// ---------------------------------------------------------------------------
// TransferRun: the coroutine of one transfer
// ---------------------------------------------------------------------------

enum class RunState : unsigned char { created, starting, waiting, ended };

struct TransferRunObject {
  PyObject_HEAD
  PyObject* core;    // strong: the EventCore
  PyObject* curl;    // strong
  PyObject* loop;    // strong: the loop the transfer is meant for, or None
  PyObject* start;   // strong: start(curl, body) -> future, or None
  PyObject* future;  // strong once started
  RunState state;
  bool body;
};

TransferRunObject* as_run(PyObject* op) { return reinterpret_cast<TransferRunObject*>(op); }

// Cuts the transfer of a run whose awaiter left, keeping the exception
// being raised (or none) as it is; a failure to cut is reported.
void cut_abandoned(TransferRunObject* self) {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  if (eventcore_cut(self->core, self->curl) < 0) PyErr_WriteUnraisable(self->curl);
  PyErr_SetRaisedException(raised.release());
}

// Starts the transfer: on the running loop when it is the one meant, else
// through `start`, which binds or refuses.
Ref start_transfer(TransferRunObject* self) {
  if (load_names() < 0) return Ref();
  bool here = false;
  if (self->loop != Py_None && eventcore_is_open(self->core)) {
    Ref running = Ref::steal(PyObject_CallNoArgs(names.running_loop));
    if (!running) return running;
    here = running.get() == self->loop;
  }
  Ref future;
  if (here || self->start == Py_None) {
    future = Ref::steal(eventcore_future(self->core, self->curl, self->loop, self->body));
  } else {
    PyObject* args[] = {nullptr, self->curl, self->body ? Py_True : Py_False};
    future = Ref::steal(
        PyObject_Vectorcall(self->start, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (future && !is_transfer_future(future.get())) {
    PyErr_SetString(PyExc_TypeError, "start() must return the future of EventCore.future()");
    return Ref();
  }
  return future;
}

// One step: yields the future while the transfer runs, then ends with its
// outcome (StopIteration with the result, or the transfer's exception).
PyObject* run_step(PyObject* op, PyObject* value) {
  TransferRunObject* self = as_run(op);
  Ref future;
  {
    CriticalSection cs(op);
    switch (self->state) {
      case RunState::created:
        if (value != Py_None) {
          PyErr_SetString(PyExc_TypeError,
                          "can't send non-None value to a just-started coroutine");
          return nullptr;
        }
        self->state = RunState::starting;
        break;
      case RunState::starting:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
      case RunState::waiting:
        future = Ref::borrow(self->future);
        break;
      case RunState::ended:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
  }
  if (!future) {
    future = start_transfer(self);
    CriticalSection cs(op);
    if (!future) {
      self->state = RunState::ended;
      return nullptr;
    }
    self->future = Py_NewRef(future.get());
    self->state = RunState::waiting;
  }
  PyObject* yielded = do_future_next(future.get());
  if (yielded != nullptr) return yielded;
  bool cancelled;
  {
    CriticalSection cs(future.get());
    cancelled = as_future(future.get())->state == FutureState::cancelled;
  }
  {
    CriticalSection cs(op);
    self->state = RunState::ended;
  }
  if (cancelled) cut_abandoned(self);
  return nullptr;
}

PyObject* do_run_next(PyObject* op) { return run_step(op, Py_None); }

PyObject* do_run_send(PyObject* op, PyObject* value) {
  PyObject* yielded = run_step(op, value);
  if (yielded == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return yielded;
}

// Ends the run: a transfer still running is cut, its awaiter having left.
void end_run(PyObject* op) {
  TransferRunObject* self = as_run(op);
  bool waiting;
  {
    CriticalSection cs(op);
    waiting = self->state == RunState::waiting;
    if (self->state != RunState::starting) self->state = RunState::ended;
  }
  if (waiting) cut_abandoned(self);
}

PyObject* do_run_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* type = nullptr;
  PyObject* value = Py_None;
  PyObject* traceback = Py_None;
  if (!parse_args(args, nargs, "O|OO:throw", &type, &value, &traceback)) return nullptr;
  Ref exception;
  if (PyExceptionInstance_Check(type)) {
    exception = Ref::borrow(type);
  } else if (PyExceptionClass_Check(type)) {
    exception = Ref::steal(value == Py_None ? PyObject_CallNoArgs(type)
                                            : PyObject_CallOneArg(type, value));
    if (!exception) return nullptr;
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "exceptions must be classes or instances deriving from BaseException");
    return nullptr;
  }
  if (traceback != Py_None && PyException_SetTraceback(exception.get(), traceback) < 0) {
    return nullptr;
  }
  end_run(op);
  PyErr_SetRaisedException(exception.release());
  return nullptr;
}

PyObject* do_run_close(PyObject* op, PyObject*) {
  end_run(op);
  Py_RETURN_NONE;
}

using RunReferences =
    ReferenceFields<TransferRunObject, &TransferRunObject::core, &TransferRunObject::curl,
                    &TransferRunObject::loop, &TransferRunObject::start, &TransferRunObject::future>;
constexpr auto do_run_traverse = &RunReferences::traverse;
constexpr auto do_run_clear = &RunReferences::clear;
constexpr auto do_run_dealloc = &RunReferences::dealloc;

PyObject* do_run_repr(PyObject* op) {
  return PyUnicode_FromFormat("<kelvex.TransferRun of %R>", as_run(op)->curl);
}

PyMethodDef run_methods[] = {
    {"send", do_run_send, METH_O, transfer_run_send_doc},
    {"throw", method(do_run_throw), METH_FASTCALL, transfer_run_throw_doc},
    {"close", do_run_close, METH_NOARGS, transfer_run_close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods run_as_async = {
    .am_await = do_future_await,
    .am_aiter = nullptr,
    .am_anext = nullptr,
    .am_send = nullptr,
};

// ---------------------------------------------------------------------------
// TransferPerformer: awaitable() with everything but the Curl bound
// ---------------------------------------------------------------------------

struct TransferPerformerObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* core;   // strong: the EventCore
  PyObject* loop;   // strong: the loop, or None
  PyObject* start;  // strong: start(curl, body) -> future, or None
  bool body;
};

TransferPerformerObject* as_performer(PyObject* op) {
  return reinterpret_cast<TransferPerformerObject*>(op);
}

// The fields are set once, at creation, and cleared only by the collector,
// which runs with every other thread stopped: no lock is needed to read
// them. A performer cleared as part of a cycle refuses.
PyObject* do_performer_call(PyObject* op, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "TransferPerformer takes one Curl object (%zd arguments given)",
                 nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0));
    return nullptr;
  }
  if (!is_curl(args[0])) {
    PyErr_Format(PyExc_TypeError, "TransferPerformer takes a kelvex.Curl, not %T", args[0]);
    return nullptr;
  }
  TransferPerformerObject* self = as_performer(op);
  if (self->core == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "TransferPerformer was cleared");
    return nullptr;
  }
  return transfer_run_new(self->core, args[0], self->loop, self->body, self->start);
}

using PerformerReferences =
    ReferenceFields<TransferPerformerObject, &TransferPerformerObject::core,
                    &TransferPerformerObject::loop, &TransferPerformerObject::start>;
constexpr auto do_performer_traverse = &PerformerReferences::traverse;
constexpr auto do_performer_clear = &PerformerReferences::clear;
constexpr auto do_performer_dealloc = &PerformerReferences::dealloc;

PyObject* do_performer_repr(PyObject* op) {
  TransferPerformerObject* self = as_performer(op);
  if (self->core == nullptr) return PyUnicode_FromString("<kelvex.TransferPerformer (cleared)>");
  return PyUnicode_FromFormat("<kelvex.TransferPerformer body=%s loop=%R>",
                              self->body ? "True" : "False", self->loop);
}

}  // namespace

PyObject* transfer_future_new(PyObject* loop) {
  if (load_names() < 0) return nullptr;
  auto* self = PyObject_GC_New(TransferFutureObject, &TransferFuture_Type);
  if (self == nullptr) return nullptr;
  self->weakreflist = nullptr;
  self->loop = Py_NewRef(loop);
  self->result = nullptr;
  self->cancel_message = nullptr;
  self->callback = nullptr;
  self->context = nullptr;
  self->more = nullptr;
  self->state = FutureState::pending;
  self->failed = false;
  self->blocking = false;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return reinterpret_cast<PyObject*>(self);
}

int transfer_future_complete(PyObject* future, PyObject* result, WakeScope* scope) {
  const bool failed = PyExceptionInstance_Check(result) != 0;
  return finish(future, FutureState::finished, result, failed, scope) < 0 ? -1 : 0;
}

PyObject* transfer_run_new(PyObject* core, PyObject* curl, PyObject* loop, bool body,
                           PyObject* start) {
  auto* self = PyObject_GC_New(TransferRunObject, &TransferRun_Type);
  if (self == nullptr) return nullptr;
  self->core = Py_NewRef(core);
  self->curl = Py_NewRef(curl);
  self->loop = Py_NewRef(loop);
  self->start = Py_NewRef(start);
  self->future = nullptr;
  self->state = RunState::created;
  self->body = body;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return reinterpret_cast<PyObject*>(self);
}

PyObject* transfer_performer_new(PyObject* core, PyObject* loop, bool body, PyObject* start) {
  auto* self = PyObject_GC_New(TransferPerformerObject, &TransferPerformer_Type);
  if (self == nullptr) return nullptr;
  self->vectorcall = do_performer_call;
  self->core = Py_NewRef(core);
  self->loop = Py_NewRef(loop);
  self->start = Py_NewRef(start);
  self->body = body;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return reinterpret_cast<PyObject*>(self);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TransferRun_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.TransferRun",
    .tp_basicsize = sizeof(TransferRunObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_run_dealloc,
    .tp_as_async = &run_as_async,
    .tp_repr = do_run_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = transfer_run_doc,
    .tp_traverse = do_run_traverse,
    .tp_clear = do_run_clear,
    .tp_iternext = do_run_next,
    .tp_methods = run_methods,
    .tp_free = PyObject_GC_Del,
};

PyTypeObject TransferPerformer_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.TransferPerformer",
    .tp_basicsize = sizeof(TransferPerformerObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_performer_dealloc,
    .tp_vectorcall_offset = offsetof(TransferPerformerObject, vectorcall),
    .tp_repr = do_performer_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = transfer_performer_doc,
    .tp_traverse = do_performer_traverse,
    .tp_clear = do_performer_clear,
    .tp_free = PyObject_GC_Del,
};

PyTypeObject TransferFuture_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.TransferFuture",
    .tp_basicsize = sizeof(TransferFutureObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_future_dealloc,
    .tp_as_async = &future_as_async,
    .tp_repr = do_future_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = transfer_future_doc,
    .tp_traverse = do_future_traverse,
    .tp_clear = do_future_clear,
    .tp_weaklistoffset = offsetof(TransferFutureObject, weakreflist),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = do_future_next,
    .tp_methods = future_methods,
    .tp_getset = future_getsets,
    .tp_free = PyObject_GC_Del,
};
#pragma GCC diagnostic pop
