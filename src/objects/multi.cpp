// CurlMulti: one libcurl multi handle and the set of Curl objects added to it.
//
// Every method claims the multi's `state` (MultiAccess) for as long as it
// uses the libcurl handle; the libcurl calls that can run callbacks (add,
// remove, perform, socket action, socket-all, cleanup) are made detached
// on it (the guard's detach()), so the callbacks of the multi and of every
// added handle re-attach with that thread state, and a method of the multi
// or of one of its handles called meanwhile finds `state` set and refuses.
#include "multi.h"

#include "access.h"
#include "callbacks.h"
#include "globals.h"
#include "records.h"

#include "docstrings.h"

#include <cerrno>
#include <climits>
#include <cmath>

namespace {

CurlMultiObject* as_multi(PyObject* op) { return reinterpret_cast<CurlMultiObject*>(op); }
PyObject* as_object(CurlMultiObject* self) { return reinterpret_cast<PyObject*>(self); }

// ---------------------------------------------------------------------------
// Option table
// ---------------------------------------------------------------------------

enum class MultiOptClass : unsigned char { Long, OffT, StringList, Function };

// Installs or removes (enable false) a trampoline together with its
// user-data option, which always names the multi itself.
using InstallCallback = void (*)(CURLM* handle, CurlMultiObject* self, bool enable);

struct MultiOption {
  int option;
  MultiOptClass cls;
  PyObject* CurlMultiObject::*callable;  // Function options only
  InstallCallback install;               // Function options only
};

constexpr MultiOption kMultiOptions[] = {
    {CURLMOPT_PIPELINING, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_MAXCONNECTS, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_MAX_HOST_CONNECTIONS, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_MAX_PIPELINE_LENGTH, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_MAX_TOTAL_CONNECTIONS, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_MAX_CONCURRENT_STREAMS, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_NETWORK_CHANGED, MultiOptClass::Long, nullptr, nullptr},
#if LIBCURL_VERSION_NUM >= 0x081600
    {CURLMOPT_RESOLVE_THREADS_MAX, MultiOptClass::Long, nullptr, nullptr},
    {CURLMOPT_QUICK_EXIT, MultiOptClass::Long, nullptr, nullptr},
#endif
    {CURLMOPT_CONTENT_LENGTH_PENALTY_SIZE, MultiOptClass::OffT, nullptr, nullptr},
    {CURLMOPT_CHUNK_LENGTH_PENALTY_SIZE, MultiOptClass::OffT, nullptr, nullptr},
    {CURLMOPT_PIPELINING_SITE_BL, MultiOptClass::StringList, nullptr, nullptr},
    {CURLMOPT_PIPELINING_SERVER_BL, MultiOptClass::StringList, nullptr, nullptr},
    // Installing or removing a callback and its user data: libcurl fails
    // these only for a bad handle or an unknown option, neither of which
    // can reach here, so their results are not examined.
    {CURLMOPT_SOCKETFUNCTION, MultiOptClass::Function, &CurlMultiObject::cb_socket,
     [](CURLM* handle, CurlMultiObject* self, bool enable) {
       (void)curl_multi_setopt(handle, CURLMOPT_SOCKETFUNCTION,
                               enable ? &multi_socket_callback
                                      : static_cast<curl_socket_callback>(nullptr));
       (void)curl_multi_setopt(handle, CURLMOPT_SOCKETDATA, enable ? self : nullptr);
     }},
    {CURLMOPT_TIMERFUNCTION, MultiOptClass::Function, &CurlMultiObject::cb_timer,
     [](CURLM* handle, CurlMultiObject* self, bool enable) {
       (void)curl_multi_setopt(handle, CURLMOPT_TIMERFUNCTION,
                               enable ? &multi_timer_callback
                                      : static_cast<curl_multi_timer_callback>(nullptr));
       (void)curl_multi_setopt(handle, CURLMOPT_TIMERDATA, enable ? self : nullptr);
     }},
    {CURLMOPT_PUSHFUNCTION, MultiOptClass::Function, &CurlMultiObject::cb_push,
     [](CURLM* handle, CurlMultiObject* self, bool enable) {
       (void)curl_multi_setopt(handle, CURLMOPT_PUSHFUNCTION,
                               enable ? &multi_push_callback
                                      : static_cast<curl_push_callback>(nullptr));
       (void)curl_multi_setopt(handle, CURLMOPT_PUSHDATA, enable ? self : nullptr);
     }},
    {CURLMOPT_NOTIFYFUNCTION, MultiOptClass::Function, &CurlMultiObject::cb_notify,
     [](CURLM* handle, CurlMultiObject* self, bool enable) {
       (void)curl_multi_setopt(handle, CURLMOPT_NOTIFYFUNCTION,
                               enable ? &multi_notify_callback
                                      : static_cast<curl_notify_callback>(nullptr));
       (void)curl_multi_setopt(handle, CURLMOPT_NOTIFYDATA, enable ? self : nullptr);
     }},
};

static_assert(options_unique(kMultiOptions));

// The range of option numbers libcurl's multi interface can have: a class
// base (0, 10000, 20000, 30000) plus an index up to the last one defined.
constexpr int kMultiOptionIndexMax = 21;
constexpr int kMultiOptionMax = 30000 + kMultiOptionIndexMax;

// The notification switches, by method.
struct NotifySwitch {
  const char* name;
  CURLMcode (*function)(CURLM*, unsigned int);
};
constexpr NotifySwitch kNotifyEnable = {"notify_enable", &curl_multi_notify_enable};
constexpr NotifySwitch kNotifyDisable = {"notify_disable", &curl_multi_notify_disable};

// ---------------------------------------------------------------------------
// Membership helpers
// ---------------------------------------------------------------------------

// Run under the section of both objects (MultiAccess's membership form).
int check_multi_add_remove(const CurlMultiObject* self, const CurlObject* curl) {
  assert_multi_state(self);
  if (slot_claimed(self)) {
    set_error_text("cannot add/remove handle - multi_perform() already running");
    return -1;
  }
  if (!self->multi_handle.open()) {
    set_error_text("cannot add/remove handle - multi-stack is closed");
    return -1;
  }
  assert_curl_state(curl);
  if (own_slot_claimed(curl)) {
    set_error_text("cannot add/remove handle - perform() of curl object already running");
    return -1;
  }
  if (curl->multi_stack != nullptr && curl->multi_stack != self) {
    set_error_text("cannot add/remove handle - curl object already on another multi-stack");
    return -1;
  }
  if (curl->in_push_callback != 0) {
    set_error_text("cannot add/remove handle - the push callback is running");
    return -1;
  }
  return 0;
}


// Takes the Curl's section itself: callers hold none.
void easy_clear_multi_ref(CurlObject* curl) {
  CriticalSection cs(reinterpret_cast<PyObject*>(curl));
  curl->multi_stack = nullptr;
  Py_CLEAR(curl->multi_weakref);
}

// Removes every handle from libcurl and from `easies`, closing each one
// when `close_handles` is set; the caller holds the multi's slot. Handles
// are taken out of the set one by one rather than from a snapshot, and a
// handle's close() (Python code: a subclass may override it, and may add
// handles to this multi or close it again) runs with the slot let go, so
// that it may use this multi; the loop goes on until the set stays empty,
// since nothing may be left pointing at this multi once it returns 0.
// -2: the slot was taken by another thread during such a call, and `held`
// holds nothing any more.
int util_multi_detach_easies(CurlMultiObject* self, HandleGuard& held, bool close_handles,
                             bool ignore_errors) {
  while (self->easies != nullptr && PySet_Size(self->easies) > 0) {
    Ref item = Ref::steal(PySet_Pop(self->easies));
    if (!item) return -1;
    CurlObject* curl = as_curl(item.get());
    CurlMultiObject* member_of;
    {
      CriticalSection cs(item.get());
      member_of = curl->multi_stack;
    }
    if (member_of != self) continue;
    if (self->multi_handle.open() && curl->handle.open()) {
      auto call = held.detach();
      // The handle leaves the multi's records whatever libcurl answers (it
      // fails only for a handle it does not hold, which is then gone too).
      (void)curl_multi_remove_handle(teardown_handle(held, self->multi_handle),
                                     teardown_handle(held, curl->handle));
    }
    easy_clear_multi_ref(curl);
    // A callback of the removal may have left a KeyboardInterrupt or the
    // like pending; it ends the loop like an error of close() does.
    bool failed = PyErr_Occurred() != nullptr;
    if (!failed && close_handles) {
      held.let_go();
      Ref result = Ref::steal(PyObject_CallMethod(item.get(), "close", nullptr));
      failed = !result;
      if (!held.take_back()) {
        if (!failed) {
          refuse_busy(kMultiPerformRunning, "close");
        }
        return -2;
      }
    }
    if (failed) {
      if (!ignore_errors) return -1;
      PyErr_Clear();
    }
  }
  // A membership test on another thread may be reading the field: it is
  // emptied under the section, and the set dropped once out of it.
  Ref easies;
  {
    CriticalSection cs(as_object(self));
    easies = Ref::steal(std::exchange(self->easies, nullptr));
  }
  return 0;
}

void util_multi_close(CurlMultiObject* self, HandleGuard& held) {
  assert(self != nullptr);
  if (CURLM* handle = teardown_handle(held, self->multi_handle)) {
    // A wakeup() running now on another thread ends before the handle goes,
    // and none starts after.
    PyMutex_Lock(&self->wakeup_lock);
    self->wakeup_closed = true;
    PyMutex_Unlock(&self->wakeup_lock);
    {
      auto call = held.detach();
      // The handle is gone whatever libcurl answers; closing cannot be
      // undone, so there is nothing to report.
      (void)curl_multi_cleanup(handle);
    }
    CriticalSection cs(as_object(self));
    self->multi_handle.forget();
  }
}

void util_multi_xdecref(CurlMultiObject* self) {
  Py_CLEAR(self->dict);
  Py_CLEAR(self->cb_timer);
  Py_CLEAR(self->cb_socket);
  Py_CLEAR(self->cb_notify);
  Py_CLEAR(self->cb_push);
  Py_CLEAR(self->socket_assignments);
}

// libcurl's code and its message, as the easy handle's errors carry them.
PyObject* set_multi_error(CURLMcode rc) {
  set_error_code_text(rc, curl_multi_strerror(rc));
  return nullptr;
}

// Every libcurl driving call ends here after re-attaching: an exception a
// callback left pending, or one a signal handler raised, wins over
// libcurl's result.
PyObject* driving_result(CURLMcode rc, int running, bool accept_call_again, const char* text) {
  if (check_pending_python_exception_or_signal() < 0) return nullptr;
  if (rc == CURLM_OK || (accept_call_again && rc == CURLM_CALL_MULTI_PERFORM)) {
    return Py_BuildValue("(ii)", static_cast<int>(rc), running);
  }
  set_error_code_text(rc, text);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Construction, destruction, GC
// ---------------------------------------------------------------------------

PyObject* do_multi_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  int close_handles = 0;
  if (type == &CurlMulti_Type) {
    if (!parse_constructor<decl::multi>(args, kwds, &close_handles)) return nullptr;
  }
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  CurlMultiObject* self = as_multi(obj.get());
  assert(record_is_zero(self));
  self->easies = PySet_New(nullptr);
  if (self->easies == nullptr) return nullptr;
  // The collector must never empty this set on its own: a handle dropped
  // from it would keep pointing at this multi after it is gone. The
  // handles are reported to the collector through this object instead
  // (do_multi_traverse), and the cycles through them are broken by the
  // handles' own clear.
  PyObject_GC_UnTrack(self->easies);
  self->socket_assignments = PyDict_New();
  if (self->socket_assignments == nullptr) return nullptr;
  self->weakself = PyWeakref_NewRef(obj.get(), nullptr);
  if (self->weakself == nullptr) return nullptr;
  self->multi_handle.adopt(curl_multi_init());
  if (!self->multi_handle.open()) {
    obj.reset();
    set_error_text("initializing curl-multi failed");
    return nullptr;
  }
  self->close_handles = close_handles ? 1 : 0;
  return obj.release();
}

void do_multi_dealloc(PyObject* op) {
  CurlMultiObject* self = as_multi(op);
  PyObject_GC_UnTrack(op);
  Py_TRASHCAN_BEGIN(op, do_multi_dealloc)
  // Removing the handles makes libcurl call back, and handles' callbacks
  // must not see an exception that was being raised when this object lost
  // its last reference.
  PendingExceptionSaver raised;
  {
    // A method of one of its handles, which reach it through a borrowed
    // pointer, may still hold the slot for a moment.
    TeardownGuard guard(self);
    // The multi's own callables go first, so none of them runs during the
    // destruction: the socket callable would be handed this dying object,
    // and when the collector destroys it, the callables may already have
    // been cleared themselves.
    util_multi_xdecref(self);
    util_multi_detach_easies(self, guard, false, true);
    util_multi_close(self, guard);
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  raised.restore();
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  Py_CLEAR(self->weakself);
  Py_TYPE(op)->tp_free(op);
  Py_TRASHCAN_END
}

int do_multi_traverse(PyObject* op, visitproc visit, void* arg) {
  CurlMultiObject* self = as_multi(op);
  Py_VISIT(self->dict);
  // The set is untracked (see do_multi_new): its members are visited as
  // this object's own references.
  if (self->easies != nullptr) {
    int result = Py_TYPE(self->easies)->tp_traverse(self->easies, visit, arg);
    if (result != 0) return result;
  }
  Py_VISIT(self->socket_assignments);
  Py_VISIT(self->cb_timer);
  Py_VISIT(self->cb_socket);
  Py_VISIT(self->cb_notify);
  Py_VISIT(self->cb_push);
  return 0;
}

int do_multi_clear(PyObject* op) {
  util_multi_xdecref(as_multi(op));
  return 0;
}

// ---------------------------------------------------------------------------
// Membership
// ---------------------------------------------------------------------------

}  // namespace

// Records membership on the Curl side; the caller holds the Curl's section.
// The weak reference is made by the caller beforehand, so that this step
// cannot fail.
void easy_set_multi_ref(CurlObject* curl, CurlMultiObject* multi, Ref weakref) {
  assert(curl != nullptr);
  Py_XSETREF(curl->multi_weakref, weakref.release());
  curl->multi_stack = multi;
}

int multi_add_member(CurlMultiObject* self, CurlObject* curl, MultiAccess& access) {
  PyObject* arg = reinterpret_cast<PyObject*>(curl);
  if (check_multi_add_remove(self, curl) < 0) return -1;
  if (!curl->handle.open()) {
    set_error_text("curl object already closed");
    return -1;
  }
  if (curl->multi_stack == self) {
    set_error_text("curl object already on this multi-stack");
    return -1;
  }
  if (curl->mime_closed) {
    set_error_format(kMimeClosed, "add_handle");
    return -1;
  }
  assert(curl->multi_stack == nullptr);
  Ref weakref = Ref::borrow(self->weakself);
  // Both checked free under both sections: claiming the multi's slot makes
  // the handle busy too, from the moment it is a member.
  if (!access.claim()) {
    set_error_text("cannot add/remove handle - multi_perform() already running");
    return -1;
  }
  if (PySet_Add(self->easies, arg) < 0) return -1;
  // Membership is in place before libcurl sees the handle: the timer
  // callable that the add fires then finds the handle busy and cannot
  // close it while libcurl is still linking it in.
  easy_set_multi_ref(curl, self, std::move(weakref));
  CURLMcode rc;
  if (self->core != nullptr) {
    // The add calls only the core's timer function, which is C++ and quick:
    // the interpreter stays attached, sparing each transfer a detach. The
    // core sets the progress calls its transfer needs (core_add).
    access.unlock();
    rc = curl_multi_add_handle(access.handle(), access.member(curl));
  } else {
    curl_set_progress_calls(curl, access.member(curl), true);
    auto call = access.detach();
    rc = curl_multi_add_handle(access.handle(), access.member(curl));
  }
  if (rc != CURLM_OK) {
    easy_clear_multi_ref(curl);
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (PySet_Discard(self->easies, arg) < 0) PyErr_Clear();
    if (raised) {
      PyErr_SetRaisedException(raised.release());
      return -1;
    }
    set_error_code_text(rc, "curl_multi_add_handle() failed due to internal errors");
    return -1;
  }
  // The handle is added; a KeyboardInterrupt left by the timer callable
  // still reaches the caller.
  if (PyErr_Occurred()) return -1;
  return 0;
}

void multi_forget_member(CurlMultiObject* self, CurlObject* curl) {
  PendingExceptionSaver raised;
  if (self->easies != nullptr &&
      PySet_Discard(self->easies, reinterpret_cast<PyObject*>(curl)) < 0) {
    PyErr_Clear();
  }
  easy_clear_multi_ref(curl);
}

void multi_close_member(CurlMultiObject* self, CurlObject* curl, CURL* handle) {
  assert(curl->multi_stack == self);
  assert(slot_held_here(self));
  if (self->multi_handle.open()) {
    // The multi's slot, which the caller holds, so that multi callbacks
    // fired by the removal (socket and timer updates) can re-attach.
    TeardownGuard held(self);
    auto call = held.detach();
    // The handle is cleaned up next whatever libcurl answers.
    (void)curl_multi_remove_handle(teardown_handle(held, self->multi_handle), handle);
  }
  if (self->core != nullptr) self->core_member_closed(self->core, curl);
  multi_forget_member(self, curl);
}

namespace {

PyObject* do_multi_add_handle(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  PyObject* arg = nullptr;
  if (!parse<decl::multi_add_handle>(args, nargs, &Curl_Type, &arg)) return nullptr;
  {
    CriticalSection cs(op);
    if (refuse_if_driven(self, "add_handle") < 0) return nullptr;
  }
  MultiAccess access(self, as_curl(arg));
  if (multi_add_member(self, as_curl(arg), access) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_multi_remove_handle(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  PyObject* arg = nullptr;
  if (!parse<decl::multi_remove_handle>(args, nargs, &Curl_Type, &arg)) return nullptr;
  CurlObject* curl = as_curl(arg);
  MultiAccess access(self, curl);
  if (refuse_if_driven(self, "remove_handle") < 0) return nullptr;
  if (check_multi_add_remove(self, curl) < 0) return nullptr;
  if (!curl->handle.open()) {
    if (PySet_Discard(self->easies, arg) < 0) PyErr_Clear();
    Py_RETURN_NONE;
  }
  if (curl->multi_stack != self) {
    set_error_text("curl object not on this multi-stack");
    return nullptr;
  }
  if (!access.claim()) {
    set_error_text("cannot add/remove handle - multi_perform() already running");
    return nullptr;
  }
  CURLMcode rc;
  {
    auto call = access.detach();
    rc = curl_multi_remove_handle(access.handle(), access.member(curl));
  }
  if (rc != CURLM_OK) {
    if (!PyErr_Occurred()) {
      set_error_code_text(rc, "curl_multi_remove_handle() failed due to internal errors");
    }
    return nullptr;
  }
  {
    PendingExceptionSaver raised;
    if (PySet_Discard(self->easies, arg) < 0) PyErr_Clear();
  }
  assert(curl->multi_stack == self);
  easy_clear_multi_ref(curl);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

int do_multi_contains(PyObject* op, PyObject* item) {
  CurlMultiObject* self = as_multi(op);
  assert_multi_state(self);
  if (!is_curl(item)) {
    PyErr_SetString(PyExc_TypeError, "__contains__ expects a Curl object");
    return -1;
  }
  // close() drops the set at any moment: the test holds its own reference,
  // taken under the section in which close() empties the field.
  Ref easies;
  {
    CriticalSection cs(op);
    easies = Ref::borrow(self->easies);
  }
  if (!easies) return 0;
  return PySet_Contains(easies.get(), item);
}

PyObject* do_multi_close(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  MultiAccess access(self, 0, "close");
  if (!access) return nullptr;
  if (refuse_if_driven(self, "close") < 0) return nullptr;
  access.unlock();
  const int detached =
      util_multi_detach_easies(self, access, self->close_handles != 0, false);
  if (detached < 0) return nullptr;
  util_multi_close(self, access);
  // Emptied only now: callbacks during libcurl's cleanup still receive the
  // objects assigned to their sockets.
  if (self->socket_assignments != nullptr) PyDict_Clear(self->socket_assignments);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Driving transfers
// ---------------------------------------------------------------------------

PyObject* do_multi_perform(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  MultiAccess access(self, CHECK_HANDLE, "perform");
  if (!access) return nullptr;
  if (refuse_if_driven(self, "perform") < 0) return nullptr;
  int running = -1;
  CURLMcode rc;
  {
    auto call = access.detach();
    rc = curl_multi_perform(access.handle(), &running);
  }
  return driving_result(rc, running, true, "perform failed");
}

PyObject* do_multi_socket_action(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  PyObject* sock_fd = nullptr;
  int ev_bitmask = 0;
  if (!parse<decl::multi_socket_action>(args, nargs, &sock_fd, &ev_bitmask)) return nullptr;
  curl_socket_t sock;
  if (PyLong_AsCurlSocket(sock_fd, &sock) < 0) return nullptr;
  MultiAccess access(self, CHECK_HANDLE, "socket_action");
  if (!access) return nullptr;
  if (refuse_if_driven(self, "socket_action") < 0) return nullptr;
  int running = -1;
  CURLMcode rc;
  {
    auto call = access.detach();
    rc = curl_multi_socket_action(access.handle(), sock, ev_bitmask, &running);
  }
  return driving_result(rc, running, false, "multi_socket_action failed");
}

PyObject* do_multi_socket_all(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  if (PyErr_WarnEx(PyExc_DeprecationWarning, "socket_all is deprecated; use socket_action", 1) < 0) {
    return nullptr;
  }
  MultiAccess access(self, CHECK_HANDLE, "socket_all");
  if (!access) return nullptr;
  if (refuse_if_driven(self, "socket_all") < 0) return nullptr;
  int running = -1;
  CURLMcode rc;
  {
    auto call = access.detach();
    rc = curl_multi_socket_all(access.handle(), &running);
  }
  return driving_result(rc, running, true, "perform failed");
}

// Fills the record's scratch sets from libcurl; returns libcurl's code.
CURLMcode fill_fd_sets(CURLM* handle, CurlMultiObject* self, int* max_fd) {
  FD_ZERO(&self->read_fd_set);
  FD_ZERO(&self->write_fd_set);
  FD_ZERO(&self->exc_fd_set);
  *max_fd = -1;
  return curl_multi_fdset(handle, &self->read_fd_set, &self->write_fd_set,
                          &self->exc_fd_set, max_fd);
}

PyObject* do_multi_fdset(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  MultiAccess access(self, CHECK_HANDLE, "fdset");
  if (!access) return nullptr;
  int max_fd = -1;
  CURLMcode rc = fill_fd_sets(access.handle(), self, &max_fd);
  if (rc != CURLM_OK) {
    set_error_code_text(rc, "curl_multi_fdset() failed due to internal errors");
    return nullptr;
  }
  const fd_set* sets[3] = {&self->read_fd_set, &self->write_fd_set, &self->exc_fd_set};
  Ref lists[3] = {Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0))};
  for (const Ref& list : lists) {
    if (!list) return nullptr;
  }
  for (int fd = 0; fd <= max_fd; ++fd) {
    for (int which = 0; which < 3; ++which) {
      if (!FD_ISSET(fd, sets[which])) continue;
      Ref number = Ref::steal(PyLong_FromLong(fd));
      if (!number || PyList_Append(lists[which].get(), number.get()) < 0) return nullptr;
    }
  }
  return PyTuple_Pack(3, lists[0].get(), lists[1].get(), lists[2].get());
}

// Upper bound of a select() wait, in seconds: 365 days.
constexpr double kSelectTimeoutMax = 31536000.0;

PyObject* do_multi_select(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  double timeout = 0.0;
  if (!parse<decl::multi_select>(args, nargs, &timeout)) return nullptr;
  MultiAccess access(self, CHECK_HANDLE, "select");
  if (!access) return nullptr;
  // Written so that NaN fails too.
  if (!(timeout >= 0.0 && timeout < kSelectTimeoutMax)) {
    PyErr_SetString(PyExc_OverflowError, "invalid timeout period");
    return nullptr;
  }
  struct timeval tv;
  double whole = std::trunc(timeout);
  double fraction = timeout - whole;
  assert(fraction >= 0.0 && fraction < 1.0);
  tv.tv_sec = static_cast<time_t>(whole);
  tv.tv_usec = static_cast<suseconds_t>(fraction * 1000000.0);
  int max_fd = -1;
  CURLMcode rc = fill_fd_sets(access.handle(), self, &max_fd);
  if (rc != CURLM_OK) {
    set_error_code_text(rc, "multi_fdset failed");
    return nullptr;
  }
  if (max_fd < 0) return PyLong_FromLong(0);
  // No libcurl call runs during the wait: the multi is let go of, and the
  // wait works on copies of the sets, which another call may refill.
  fd_set readable = self->read_fd_set;
  fd_set writable = self->write_fd_set;
  fd_set exceptional = self->exc_fd_set;
  access.release();
  int n;
  int wait_errno = 0;
  Py_BEGIN_ALLOW_THREADS
  n = ::select(max_fd + 1, &readable, &writable, &exceptional, &tv);
  wait_errno = errno;
  Py_END_ALLOW_THREADS
  // A signal cut the wait short: its handler runs now, and what it raises
  // (KeyboardInterrupt) ends the caller's driving loop here.
  if (n < 0 && wait_errno == EINTR && PyErr_CheckSignals() < 0) return nullptr;
  return PyLong_FromLong(n);
}

// libcurl's own wait, which wakeup() from another thread ends early. It
// runs libcurl on the multi for the whole wait, so the wait holds the multi
// as a driving call does.
PyObject* do_multi_poll(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  double timeout = 0.0;
  if (!parse<decl::multi_poll>(args, nargs, &timeout)) return nullptr;
  // Written so that NaN fails too; milliseconds rounded up, so that a short
  // positive wait does not become a busy loop.
  if (!(timeout >= 0.0 && timeout <= INT_MAX / 1000.0)) {
    PyErr_SetString(PyExc_OverflowError, "invalid timeout period");
    return nullptr;
  }
  const int milliseconds = static_cast<int>(std::ceil(timeout * 1000.0));
  MultiAccess access(self, CHECK_HANDLE, "poll");
  if (!access) return nullptr;
  if (refuse_if_driven(self, "poll") < 0) return nullptr;
  int ready = 0;
  CURLMcode rc;
  {
    auto call = access.detach();
    rc = curl_multi_poll(access.handle(), nullptr, 0, milliseconds, &ready);
  }
  // A signal ends libcurl's wait early, as a wakeup does: its handler runs
  // now, and what it raises (KeyboardInterrupt) ends the caller's loop.
  if (check_pending_python_exception_or_signal() < 0) return nullptr;
  if (rc != CURLM_OK) return set_multi_error(rc);
  return PyLong_FromLong(ready);
}

PyObject* do_multi_wakeup(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  // No claim: libcurl lets any thread wake its wait at any time.
  CURLMcode rc = MultiAccess::wakeup(self);
  if (rc == CURLM_BAD_HANDLE) {
    refuse_closed("wakeup", "multi handle");
    return nullptr;
  }
  if (rc != CURLM_OK) return set_multi_error(rc);
  Py_RETURN_NONE;
}

// The descriptors libcurl waits on, with what it waits for on each
// (WAIT_POLLIN, WAIT_POLLPRI, WAIT_POLLOUT), for the caller's own poll.
PyObject* do_multi_waitfds(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  MultiAccess access(self, CHECK_HANDLE, "waitfds");
  if (!access) return nullptr;
  if (refuse_if_driven(self, "waitfds") < 0) return nullptr;
  unsigned int count = 0;
  CURLMcode rc = curl_multi_waitfds(access.handle(), nullptr, 0, &count);
  std::unique_ptr<curl_waitfd[], decltype(&PyMem_Free)> fds(nullptr, &PyMem_Free);
  if (rc == CURLM_OK && count > 0) {
    // The set cannot change under the claim: a second call fills it whole.
    fds.reset(static_cast<curl_waitfd*>(PyMem_Calloc(count, sizeof(curl_waitfd))));
    if (!fds) return PyErr_NoMemory();
    rc = curl_multi_waitfds(access.handle(), fds.get(), count, &count);
  }
  if (rc != CURLM_OK) return set_multi_error(rc);
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!result) return nullptr;
  for (unsigned int i = 0; i < count; ++i) {
    PyObject* item = Py_BuildValue("(ii)", static_cast<int>(fds[i].fd),
                                   static_cast<int>(fds[i].events));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item);
  }
  return result.release();
}

// The Curl objects in the multi, in libcurl's order.
PyObject* do_multi_get_handles(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  MultiAccess access(self, CHECK_HANDLE, "get_handles", Nesting::allow);
  if (!access) return nullptr;
  std::unique_ptr<CURL*, decltype(&curl_free)> handles(curl_multi_get_handles(access.handle()),
                                                        &curl_free);
  if (!handles) return PyErr_NoMemory();
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  for (CURL** easy = handles.get(); *easy != nullptr; ++easy) {
    char* priv = nullptr;
    // Every handle a multi holds is a Curl's, which names itself here and
    // which the multi's member set keeps alive while the claim is held.
    if (curl_easy_getinfo(*easy, CURLINFO_PRIVATE, &priv) != CURLE_OK || priv == nullptr)
      continue;
    if (PyList_Append(result.get(), reinterpret_cast<PyObject*>(priv)) < 0) return nullptr;
  }
  return result.release();
}

PyObject* do_multi_info_read(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  int max_objects = INT_MAX;
  if (!parse<decl::multi_info_read>(args, nargs, &max_objects)) return nullptr;
  if (max_objects < 1) {
    set_error_text("argument to info_read must be greater than zero");
    return nullptr;
  }
  // Allowed inside the multi's own callbacks; from another thread while a
  // driving call runs, libcurl's message queue is that call's.
  MultiAccess access(self, CHECK_HANDLE, "info_read", Nesting::allow);
  if (!access) return nullptr;
  Ref successes = Ref::steal(PyList_New(0));
  if (!successes) return nullptr;
  Ref failures = Ref::steal(PyList_New(0));
  if (!failures) return nullptr;
  int queued = 0;
  for (int taken = 0; taken < max_objects; ++taken) {
    CURLMsg* msg = curl_multi_info_read(access.handle(), &queued);
    if (msg == nullptr) break;
    char* priv = nullptr;
    CURLcode info = curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &priv);
    if (info != CURLE_OK || priv == nullptr) {
      set_error_code_text(info, "Unable to fetch curl handle from curl object");
      return nullptr;
    }
    PyObject* co = reinterpret_cast<PyObject*>(priv);
    assert(is_curl(co));
    CURLcode result = msg->data.result;
    if (result == CURLE_OK) {
      if (PyList_Append(successes.get(), co) < 0) return nullptr;
      continue;
    }
    CurlObject* curl = as_curl(co);
    curl->error[KELVEX_ERROR_SIZE - 1] = '\0';
    Ref message = Ref::steal(PyUnicode_DecodeLocale(curl->error, "surrogateescape"));
    if (!message) return nullptr;
    Ref failure = Ref::steal(Py_BuildValue("(OiO)", co, static_cast<int>(result), message.get()));
    if (!failure || PyList_Append(failures.get(), failure.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(iOO)", queued, successes.get(), failures.get());
}

PyObject* do_multi_timeout(PyObject* op, PyObject*) {
  CurlMultiObject* self = as_multi(op);
  MultiAccess access(self, CHECK_HANDLE, "timeout");
  if (!access) return nullptr;
  long milliseconds = -1;
  CURLMcode rc = curl_multi_timeout(access.handle(), &milliseconds);
  if (rc != CURLM_OK) {
    set_error_code_text(rc, "timeout failed");
    return nullptr;
  }
  return PyLong_FromLong(milliseconds);
}

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

// kelvex.error whose args are the one-element tuple (code,).
PyObject* set_error_code_only(CURLMcode rc) {
  Ref value = Ref::steal(Py_BuildValue("(i)", static_cast<int>(rc)));
  if (value) PyErr_SetObject(kx.ErrorObject, value.get());
  return nullptr;
}

PyObject* do_multi_setopt_list(const MultiAccess& access, const MultiOption* entry,
                               PyObject* value) {
  if (entry == nullptr || entry->cls != MultiOptClass::StringList) {
    PyErr_SetString(PyExc_TypeError, "lists/tuples are not supported for this option");
    return nullptr;
  }
  const auto option = static_cast<CURLMoption>(entry->option);
  // A private copy: another thread cannot change the items under us.
  Ref items = Ref::steal(PySequence_Tuple(value));
  if (!items) return nullptr;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  if (count == 0) {
    char* empty[1] = {nullptr};
    CURLMcode rc = curl_multi_setopt(access.handle(), option, empty);
    if (rc != CURLM_OK) return set_error_code_only(rc);
    Py_RETURN_NONE;
  }
  if (static_cast<size_t>(count) >= PY_SSIZE_T_MAX / sizeof(char*)) return PyErr_NoMemory();
  std::unique_ptr<char*[], decltype(&PyMem_Free)> strings(
      static_cast<char**>(PyMem_Calloc(static_cast<size_t>(count) + 1, sizeof(char*))),
      &PyMem_Free);
  // Holds the ASCII encodings of str items until libcurl has copied them.
  Ref encodings = Ref::steal(PyTuple_New(count));
  if (!strings || !encodings) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  }
  Py_ssize_t filled = 0;
  if (for_each_text_item(
          items.get(), 2, count, [] { set_error_text("list/tuple items must be strings"); },
          [&](const char* text, Ref& encoded) {
            // libcurl copies the texts but takes them as char*.
            strings[filled] = const_cast<char*>(text);
            PyTuple_SET_ITEM(encodings.get(), filled++,
                             encoded ? encoded.release() : Py_NewRef(Py_None));
            return 0;
          }) < 0) {
    return nullptr;
  }
  strings[count] = nullptr;
  CURLMcode rc = curl_multi_setopt(access.handle(), option, strings.get());
  if (rc != CURLM_OK) return set_error_code_only(rc);
  Py_RETURN_NONE;
}

PyObject* do_multi_setopt_callable(const MultiAccess& access, CurlMultiObject* self,
                                   const MultiOption* entry, PyObject* value) {
  if (entry == nullptr || entry->cls != MultiOptClass::Function) {
    PyErr_SetString(PyExc_TypeError, "callables are not supported for this option");
    return nullptr;
  }
  entry->install(access.handle(), self, true);
  Py_XSETREF(self->*(entry->callable), Py_NewRef(value));
  Py_RETURN_NONE;
}

PyObject* do_multi_setopt(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlMultiObject* self = as_multi(op);
  int option = 0;
  PyObject* value = nullptr;
  if (!parse<decl::multi_setopt>(args, nargs, &option, &value)) return nullptr;
  MultiAccess access(self, CHECK_HANDLE, "setopt");
  if (!access) return nullptr;
  if (!option_in_range(option, kMultiOptionMax, kMultiOptionIndexMax)) {
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return nullptr;
  }
  const MultiOption* entry = find_option(kMultiOptions, option);
  if ((option == CURLMOPT_SOCKETFUNCTION || option == CURLMOPT_TIMERFUNCTION) &&
      refuse_if_driven(self, "setopt") < 0) {
    return nullptr;
  }
  if (value == Py_None) {
    if (entry != nullptr && entry->cls == MultiOptClass::StringList) {
      // Emptying a list option cannot fail on a valid handle.
      (void)curl_multi_setopt(access.handle(), static_cast<CURLMoption>(option),
                              static_cast<char**>(nullptr));
      Py_RETURN_NONE;
    }
    if (entry != nullptr && entry->cls == MultiOptClass::Function) {
      entry->install(access.handle(), self, false);
      Py_CLEAR(self->*(entry->callable));
      Py_RETURN_NONE;
    }
    PyErr_SetString(PyExc_TypeError, "unsetting is not supported for this option");
    return nullptr;
  }
  if (PyLong_Check(value)) {
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) return nullptr;
    const auto curl_option = static_cast<CURLMoption>(option);
    // A number libcurl refuses (one out of the option's range, say) leaves
    // the option as it was and raises libcurl's code, as Curl.setopt does.
    CURLMcode rc = CURLM_OK;
    if (entry != nullptr && entry->cls == MultiOptClass::Long) {
      rc = curl_multi_setopt(access.handle(), curl_option, static_cast<long>(number));
    } else if (entry != nullptr && entry->cls == MultiOptClass::OffT) {
      rc = curl_multi_setopt(access.handle(), curl_option, static_cast<curl_off_t>(number));
    } else {
      PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
      return nullptr;
    }
    if (rc != CURLM_OK) return set_multi_error(rc);
    Py_RETURN_NONE;
  }
  if (PyListOrTuple_Check(value)) return do_multi_setopt_list(access, entry, value);
  if (PyCallable_Check(value)) return do_multi_setopt_callable(access, self, entry, value);
  PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
  return nullptr;
}

// ---------------------------------------------------------------------------
// Socket assignments and notifications
// ---------------------------------------------------------------------------

PyObject* util_multi_assign(CurlMultiObject* self, PyObject* sock_fd, PyObject* value,
                            const char* name) {
  curl_socket_t sock;
  if (PyLong_AsCurlSocket(sock_fd, &sock) < 0) return nullptr;
  // Meant for the socket callable, inside a driving call.
  MultiAccess access(self, CHECK_HANDLE, name, Nesting::allow);
  if (!access) return nullptr;
  if (refuse_if_driven(self, name) < 0) return nullptr;
  if (self->socket_assignments == nullptr) {
    // Only after the collector cleared this multi.
    self->socket_assignments = PyDict_New();
    if (self->socket_assignments == nullptr) return nullptr;
  }
  PyObject* dict = self->socket_assignments;
  PyObject* previous = nullptr;
  if (PyDict_GetItemRef(dict, sock_fd, &previous) < 0) return nullptr;
  Ref old = Ref::steal(previous);
  void* pointer = nullptr;
  if (value == Py_None) {
    if (PyDict_Pop(dict, sock_fd, nullptr) < 0) return nullptr;
  } else {
    if (PyDict_SetItem(dict, sock_fd, value) < 0) return nullptr;
    pointer = value;
  }
  CURLMcode rc = curl_multi_assign(access.handle(), sock, pointer);
  if (rc == CURLM_OK) Py_RETURN_NONE;
  // libcurl kept its old pointer, so the dictionary must keep the object
  // that pointer names.
  if (old) {
    if (PyDict_SetItem(dict, sock_fd, old.get()) < 0) PyErr_Clear();
  } else if (value != Py_None) {
    if (PyDict_Pop(dict, sock_fd, nullptr) < 0) PyErr_Clear();
  }
  char text[64];
  PyOS_snprintf(text, sizeof(text), "%s failed", name);
  set_error_code_text(rc, text);
  return nullptr;
}

PyObject* do_multi_assign(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* sock_fd = nullptr;
  PyObject* value = nullptr;
  if (!parse<decl::multi_assign>(args, nargs, &sock_fd, &value)) return nullptr;
  return util_multi_assign(as_multi(op), sock_fd, value, "assign");
}

PyObject* do_multi_unassign(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* sock_fd = nullptr;
  if (!parse<decl::multi_unassign>(args, nargs, &sock_fd)) return nullptr;
  return util_multi_assign(as_multi(op), sock_fd, Py_None, "unassign");
}

// Largest notification number libcurl's unsigned int can carry.
constexpr unsigned long kNotificationMax = 4294967295UL;

PyObject* util_multi_notify_set(CurlMultiObject* self, PyObject* const* args, Py_ssize_t count,
                                const NotifySwitch& how) {
  MultiAccess access(self, CHECK_HANDLE, how.name);
  if (!access) return nullptr;
  if (count == 0) {
    PyErr_Format(PyExc_TypeError, "%s requires at least one notification", how.name);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    unsigned long value = PyLong_AsUnsignedLong(args[i]);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (value > kNotificationMax) {
      PyErr_Format(PyExc_OverflowError, "%s notification value out of range", how.name);
      return nullptr;
    }
    CURLMcode rc = how.function(access.handle(), static_cast<unsigned int>(value));
    if (rc != CURLM_OK) {
      char text[64];
      PyOS_snprintf(text, sizeof(text), "%s failed", how.name);
      set_error_code_text(rc, text);
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyObject* do_multi_notify_enable(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return util_multi_notify_set(as_multi(op), args, nargs, kNotifyEnable);
}

PyObject* do_multi_notify_disable(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return util_multi_notify_set(as_multi(op), args, nargs, kNotifyDisable);
}

// ---------------------------------------------------------------------------
// Pickling, context manager, attributes
// ---------------------------------------------------------------------------

constexpr char kMultiTypeName[] = "CurlMulti";

PyObject* do_multi_exit(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  PyObject *exc_type, *exc_value, *traceback;
  if (!parse<decl::multi_exit>(args, nargs, &exc_type, &exc_value, &traceback)) return nullptr;
  // By name, so that a subclass's close() runs.
  Ref result = Ref::steal(PyObject_CallMethod(op, "close", nullptr));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_multi_get_closed(PyObject* op, void*) {
  bool closed;
  {
    CriticalSection cs(op);
    closed = !as_multi(op)->multi_handle.open();
  }
  return PyBool_FromLong(closed);
}

PyMethodDef curlmultiobject_methods[] = {
    method_entry<decl::multi_add_handle>(do_multi_add_handle),
    method_entry<decl::multi_close>(do_multi_close),
    method_entry<decl::multi_fdset>(do_multi_fdset),
    method_entry<decl::multi_info_read>(do_multi_info_read),
    method_entry<decl::multi_perform>(do_multi_perform),
    method_entry<decl::multi_socket_action>(do_multi_socket_action),
    method_entry<decl::multi_socket_all>(do_multi_socket_all),
    method_entry<decl::multi_setopt>(do_multi_setopt),
    method_entry<decl::multi_timeout>(do_multi_timeout),
    method_entry<decl::multi_assign>(do_multi_assign),
    method_entry<decl::multi_unassign>(do_multi_unassign),
    method_entry<decl::multi_remove_handle>(do_multi_remove_handle),
    method_entry<decl::multi_select>(do_multi_select),
    method_entry<decl::multi_poll>(do_multi_poll),
    method_entry<decl::multi_wakeup>(do_multi_wakeup),
    method_entry<decl::multi_waitfds>(do_multi_waitfds),
    method_entry<decl::multi_get_handles>(do_multi_get_handles),
    method_entry<decl::multi_notify_enable>(do_multi_notify_enable),
    method_entry<decl::multi_notify_disable>(do_multi_notify_disable),
    KELVEX_PICKLE_REFUSAL(kMultiTypeName, decl::multi_getstate, decl::multi_setstate),
    method_entry<decl::multi_enter>(enter_self),
    method_entry<decl::multi_exit>(do_multi_exit),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef curlmultiobject_getsets[] = {
    {"closed", do_multi_get_closed, nullptr, multi_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* do_multi_getattro(PyObject* op, PyObject* name) {
  CurlMultiObject* self = as_multi(op);
  assert_multi_state(self);
  PyObject* value = PyObject_GenericGetAttr(op, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    CriticalSection cs(op);
    value = my_getattro(op, name, self->dict, kx.curlmultiobject_constants, curlmultiobject_methods);
  }
  return value;
}

int do_multi_setattro(PyObject* op, PyObject* name, PyObject* value) {
  CurlMultiObject* self = as_multi(op);
  assert_multi_state(self);
  CriticalSection cs(op);
  return my_setattro(&self->dict, name, value);
}

PySequenceMethods curlmultiobject_as_sequence = {
    .sq_length = nullptr,
    .sq_concat = nullptr,
    .sq_repeat = nullptr,
    .sq_item = nullptr,
    .was_sq_slice = nullptr,
    .sq_ass_item = nullptr,
    .was_sq_ass_slice = nullptr,
    .sq_contains = do_multi_contains,
    .sq_inplace_concat = nullptr,
    .sq_inplace_repeat = nullptr,
};

}  // namespace

// ---------------------------------------------------------------------------
// State checks
// ---------------------------------------------------------------------------

void assert_multi_state(const CurlMultiObject* self) {
  assert(self != nullptr);
  assert(is_multi(reinterpret_cast<PyObject*>(const_cast<CurlMultiObject*>(self))));
  // No relation between the slot and the handle holds here: close() ends
  // the handle before it lets go of its claim, and Python code (finalizers
  // of assigned objects, another thread) may look at the multi meanwhile.
  (void)self;
}

int refuse_if_driven(const CurlMultiObject* self, const char* name) {
  if (self->core == nullptr) return 0;
  set_error_format("cannot invoke %s() - the multi is driven by an EventCore", name);
  return -1;
}

// ---------------------------------------------------------------------------
// Type object
// ---------------------------------------------------------------------------

// The slots not named stay zero, as the interpreter expects of a static
// type; g++ would otherwise flag every one of them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject CurlMulti_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMulti",
    .tp_basicsize = sizeof(CurlMultiObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_multi_dealloc,
    .tp_as_sequence = &curlmultiobject_as_sequence,
    .tp_getattro = do_multi_getattro,
    .tp_setattro = do_multi_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = doc_of<decl::multi>(),
    .tp_traverse = do_multi_traverse,
    .tp_clear = do_multi_clear,
    .tp_weaklistoffset = offsetof(CurlMultiObject, weakreflist),
    .tp_methods = curlmultiobject_methods,
    .tp_getset = curlmultiobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_multi_new,
    .tp_free = PyObject_GC_Del,
};
#pragma GCC diagnostic pop
