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
// The future does not know its transfer, nor the core: the core completes
// it through transfer_future_complete(), cancelling it only cancels it,
// and whoever awaits it removes the transfer from the core (kelvex.aio and
// TransferRun do so when the awaiter leaves), as with any waiter given to
// EventCore.add().
#include "transferfuture.h"

#include "globals.h"
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
// future it waits for. It is known by its method's name, which is
// asyncio's own business: the name is trusted only on CPython 3.13, whose
// asyncio the tests step tasks with. On any other version nothing is taken
// for a wakeup, and every callback is scheduled with call_soon.
bool is_task_wakeup(PyObject* callback) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
  if (!PyCFunction_Check(callback)) return false;
  PyObject* owner = PyCFunction_GET_SELF(callback);
  if (owner == nullptr ||
      !PyObject_TypeCheck(owner, reinterpret_cast<PyTypeObject*>(names.task_type))) {
    return false;
  }
  const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(callback)->m_ml;
  return def != nullptr && def->ml_name != nullptr && std::strcmp(def->ml_name, "task_wakeup") == 0;
#else
  (void)callback;
  return false;
#endif
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
  PyObject* message = Py_None;
  if (!parse_keywords<decl::transfer_future_cancel>(args, nargs, kwnames, &message)) {
    return nullptr;
  }
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
  PyObject* callback = nullptr;
  PyObject* context = Py_None;
  // The task's own call: the callback, then context= by keyword (a name
  // asyncio does not intern).
  if (nargs == 1 && kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 1 &&
      PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, 0), "context")) {
    callback = args[0];
    context = args[1];
  } else if (!parse_keywords<decl::transfer_future_add_done_callback>(args, nargs, kwnames,
                                                                      &callback, &context)) {
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
    method_entry<decl::transfer_future_result>(do_future_result),
    method_entry<decl::transfer_future_exception>(do_future_exception),
    method_entry<decl::transfer_future_done>(do_future_done),
    method_entry<decl::transfer_future_cancelled>(do_future_cancelled),
    method_entry<decl::transfer_future_cancel>(do_future_cancel),
    method_entry<decl::transfer_future_set_result>(do_future_set_result),
    method_entry<decl::transfer_future_set_exception>(do_future_set_exception),
    method_entry<decl::transfer_future_add_done_callback>(do_future_add_done_callback),
    method_entry<decl::transfer_future_remove_done_callback>(do_future_remove_done_callback),
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

PyObject* transfer_future_next(PyObject* future) { return do_future_next(future); }

bool transfer_future_cancelled(PyObject* future) {
  CriticalSection cs(future);
  return as_future(future)->state == FutureState::cancelled;
}

PyObject* running_asyncio_loop() {
  if (load_names() < 0) return nullptr;
  return PyObject_CallNoArgs(names.running_loop);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
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
