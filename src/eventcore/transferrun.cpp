// TransferRun and TransferPerformer: the coroutine of one EventCore
// transfer and the callable that makes such coroutines, which
// EventCore.awaitable() and EventCore.performer() return. They sit above
// both the core and its futures: a run starts its transfer on the core
// (eventcore_future, or the caller's start()), waits on the future, and
// cuts the transfer when its awaiter leaves before the end.
#include "transferrun.h"

#include "easy.h"
#include "eventcore.h"
#include "threadstate.h"
#include "transferfuture.h"

#include "docstrings.h"

namespace {

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
  bool here = false;
  if (self->loop != Py_None && eventcore_is_open(self->core)) {
    Ref running = Ref::steal(running_asyncio_loop());
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
  PyObject* yielded = transfer_future_next(future.get());
  if (yielded != nullptr) return yielded;
  const bool cancelled = transfer_future_cancelled(future.get());
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
  if (!parse<decl::transfer_run_throw>(args, nargs, &type, &value, &traceback)) return nullptr;
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
    method_entry<decl::transfer_run_send>(do_run_send),
    method_entry<decl::transfer_run_throw>(do_run_throw),
    method_entry<decl::transfer_run_close>(do_run_close),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* do_run_await(PyObject* op) { return Py_NewRef(op); }

PyAsyncMethods run_as_async = {
    .am_await = do_run_await,
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

void transfer_run_install() {
  core_run_makers = CoreRunMakers{&transfer_run_new, &transfer_performer_new};
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
#pragma GCC diagnostic pop
