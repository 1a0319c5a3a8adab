// CurlShare: one libcurl share handle, the lock block through which libcurl
// serialises the shared data, and the registry of the Curl objects attached
// to it through SHARE.
//
// Two kinds of lock meet here. The object's `mutex` guards `share_handle`
// and the registry and is held across whole operations, libcurl calls
// included; libcurl takes the block mutexes (share_lock_callback) inside
// those calls as well as inside transfers running detached on other threads,
// so the order is always `mutex` first, then a block mutex. Nothing done
// under `mutex` runs Python code or drops a reference that may be the last:
// a Curl that died there would unregister and take `mutex` again on the same
// thread. Owners that outlive the critical section are declared before the
// guard, so that they are released after it unlocks.
//
// The registry is a dict from the address of each attached Curl to a weak
// reference to it. Keying by address means attaching never hashes or
// compares Curl objects (a subclass may define __hash__/__eq__, or be
// unhashable), and a handle can still be found while it is being destroyed,
// when a weak reference to it can no longer be resolved.

#include <utility>

#include "docstrings.h"
#include "share.h"

#include "access.h"
#include "callbacks.h"
#include "globals.h"
#include "records.h"

namespace {

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


// Option numbers accepted by setopt before the option itself is judged: the
// same ranges as the easy options, without the blob range.
constexpr int kMaxShareOption = 30328;
constexpr int kMaxOptionIndex = 328;

// The kinds of data a share can hold, as Python code names them; the lock
// block has room for every kind libcurl knows, these are the ones offered.
constexpr long long kFirstShareableKind = CURL_LOCK_DATA_COOKIE;
constexpr long long kLastShareableKind = CURL_LOCK_DATA_PSL;

CurlShareObject* as_share(PyObject* op) { return reinterpret_cast<CurlShareObject*>(op); }
PyObject* as_object(CurlShareObject* self) { return reinterpret_cast<PyObject*>(self); }

// Points an easy handle away from the share handle; callers hold `mutex`
// and the claim that gave `handle`. Setting null cannot fail for a valid
// handle, except while the handle's transfer is under way in a multi
// between driving calls, which libcurl refuses: the handle then stays
// attached.
CURLcode detach_handle_locked(CURL* handle) {
  return curl_easy_setopt(handle, CURLOPT_SHARE, nullptr);
}

void assert_share_state([[maybe_unused]] CurlShareObject* self) {
  assert(self != nullptr);
  assert(is_share(as_object(self)));
  assert(self->lock != nullptr);
}

int share_apply_kind(const ShareAccess& access, int option, long long value) {
  if (value < kFirstShareableKind || value > kLastShareableKind) {
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return -1;
  }
  // libcurl reads the kind of CURLSHOPT_SHARE/UNSHARE as an int.
  CURLSHcode rc = curl_share_setopt(access.handle(), static_cast<CURLSHoption>(option),
                                    static_cast<int>(value));
  if (rc != CURLSHE_OK) {
    set_error_code_text(rc, curl_share_strerror(rc));
    return -1;
  }
  return 0;
}

PyObject* share_apply_kinds(CurlShareObject* self, PyObject* const* args, Py_ssize_t count,
                            CURLSHoption option, const char* name) {
  if (count == 0) {
    PyErr_SetString(PyExc_TypeError, "at least one LOCK_DATA_* argument required");
    return nullptr;
  }
  ShareAccess access(self, CHECK_HANDLE, name);
  if (!access) return nullptr;
  // Kinds applied before a bad argument stay applied.
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* arg = args[i];
    if (PyListOrTuple_Check(arg)) {
      PyErr_SetString(PyExc_TypeError,
                      "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant "
                      "individually");
      return nullptr;
    }
    if (!PyLong_Check(arg)) {
      PyErr_SetString(PyExc_TypeError, "arguments must be LOCK_DATA_* integers");
      return nullptr;
    }
    long long value = PyLong_AsLongLong(arg);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (share_apply_kind(access, option, value) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

// The registry scan of close(), run under `mutex`: prunes entries whose Curl
// is gone or no longer attached here, detaches idle handles when the share
// detaches on close, and returns how many attached handles keep the share
// open, or -1 with an exception set. `held` receives the list that keeps
// every Curl visited alive until the caller has released `mutex`.
Py_ssize_t share_cleanup_and_count_live_easies(CurlShareObject* self, Ref* held) {
  assert(PyDict_CheckExact(self->easies));
  // A snapshot, so that entries can be removed while walking it.
  *held = Ref::steal(PyDict_Items(self->easies));
  if (!*held) return -1;
  PyObject* entries = held->get();
  Py_ssize_t live = 0;
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(entries); i < n; ++i) {
    PyObject* entry = PyList_GET_ITEM(entries, i);
    PyObject* key = PyTuple_GET_ITEM(entry, 0);
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 1), &target) < 0) return -1;
    Ref curl_ref = Ref::steal(target);
    assert(target == nullptr || is_curl(target));
    auto* curl = reinterpret_cast<CurlObject*>(target);
    bool drop;
    if (curl == nullptr) {
      // The Curl is being destroyed (on another thread, or by the collector)
      // and has not yet let go: libcurl still counts its handle as attached
      // until it takes the mutex held here and detaches.
      drop = false;
    } else if (curl->share != self) {
      drop = true;
    } else {
      // The handle is taken as its own methods take it, without waiting: a
      // handle inside a call of its own, or in a multi inside a driving
      // call, is busy (IdleCurlClaim).
      drop = false;
      if (self->detach_on_close) {
        IdleCurlClaim claim(curl);
        if (claim) {
          assert(curl->handle.open());
          // libcurl refuses to detach a handle whose transfer is under way
          // in a multi between driving calls; such a handle keeps using the
          // share handle and its locks, so it stays attached and counts as
          // busy.
          drop = detach_handle_locked(claim.handle()) == CURLE_OK;
          if (drop) {
            curl->share = nullptr;
            Py_CLEAR(curl->share_key);
            // The caller of close() holds a reference, so this is never the
            // last.
            Py_DECREF(as_object(self));
          }
        }
      }
    }
    if (drop) {
      if (PyDict_DelItem(self->easies, key) < 0) PyErr_Clear();
    } else {
      ++live;
    }
    // The Curl takes the entry's place and is released with `held`, after
    // unlocking; `key` goes with the entry, and is not used again.
    if (curl_ref) PyList_SetItem(entries, i, curl_ref.release());
  }
  return live;
}

void util_share_xdecref(CurlShareObject* self) {
  Py_CLEAR(self->dict);
  Ref easies;
  MutexGuard guard(self->mutex);
  easies.reset(std::exchange(self->easies, nullptr));
}

// -- Type slots --------------------------------------------------------------

PyObject* do_share_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds) {
  int detach_on_close = 1;
  // A subclass's own constructor arguments are its business.
  if (subtype == &CurlShare_Type &&
      !parse_constructor<decl::share>(args, kwds, &detach_on_close)) {
    return nullptr;
  }
  Ref obj = Ref::steal(subtype->tp_alloc(subtype, 0));
  if (!obj) return nullptr;
  CurlShareObject* self = as_share(obj.get());
  assert(record_is_zero(self));

  self->lock = share_lock_new();
  if (self->lock == nullptr) return nullptr;
  self->easies = PyDict_New();
  if (self->easies == nullptr) return nullptr;
  CURLSH* handle = curl_share_init();
  self->share_handle.adopt(handle);
  if (handle == nullptr) {
    obj.reset();
    set_error_text("initializing curl-share failed");
    return nullptr;
  }
  // The lock callbacks find the lock block through the object; the share
  // handle never outlives it, so the pointer is not counted.
  [[maybe_unused]] CURLSHcode rc;
  rc = curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, share_lock_callback);
  assert(rc == CURLSHE_OK);
  rc = curl_share_setopt(handle, CURLSHOPT_USERDATA, self);
  assert(rc == CURLSHE_OK);
  rc = curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, share_unlock_callback);
  assert(rc == CURLSHE_OK);
  self->detach_on_close = detach_on_close ? 1 : 0;
  return obj.release();
}

void do_share_dealloc(PyObject* op) {
  CurlShareObject* self = as_share(op);
  PyObject_GC_UnTrack(op);
  Py_TRASHCAN_BEGIN(op, do_share_dealloc)
  util_share_xdecref(self);
  // Every attached Curl holds a reference, so none is attached any more.
  if (CURLSH* handle = teardown_handle(TeardownGuard::unreachable(), self->share_handle)) {
    self->share_handle.forget();
    curl_share_cleanup(handle);
  }
  // After the cleanup, which still calls the lock callbacks.
  if (ShareLock* lock = std::exchange(self->lock, nullptr)) share_lock_destroy(lock);
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  Py_TYPE(op)->tp_free(op);
  Py_TRASHCAN_END
}

int do_share_traverse(PyObject* op, visitproc visit, void* arg) {
  CurlShareObject* self = as_share(op);
  Py_VISIT(self->dict);
  Py_VISIT(self->easies);
  return 0;
}

int do_share_clear(PyObject* op) {
  util_share_xdecref(as_share(op));
  return 0;
}

// -- Methods -----------------------------------------------------------------

PyObject* do_share_close(PyObject* op, PyObject* /*ignored*/) {
  CurlShareObject* self = as_share(op);
  assert_share_state(self);
  Ref held;
  ShareAccess access(self, 0, "close");
  if (self->easies != nullptr) {
    Py_ssize_t live = share_cleanup_and_count_live_easies(self, &held);
    if (live < 0) return nullptr;
    if (live > 0) {
      access.unlock();
      set_error_format("cannot close CurlShare: still in use by %zd active Curl object%s",
                   live, live == 1 ? "" : "s");
      return nullptr;
    }
  }
  if (self->share_handle.open()) {
    // libcurl refuses while some easy handle still counts as attached (one
    // being destroyed on another thread while this ran): the share stays
    // open rather than losing a handle that is still in use.
    CURLSHcode rc = curl_share_cleanup(access.handle());
    if (rc != CURLSHE_OK) {
      access.unlock();
      set_error_code_text(rc, curl_share_strerror(rc));
      return nullptr;
    }
    self->share_handle.forget();
  }
  Py_RETURN_NONE;
}

PyObject* do_share_setopt(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  CurlShareObject* self = as_share(op);
  int option;
  PyObject* value;
  if (!parse<decl::share_setopt>(args, nargs, &option, &value)) return nullptr;
  if (!option_in_range(option, kMaxShareOption, kMaxOptionIndex) || !PyLong_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return nullptr;
  }
  long long kind = PyLong_AsLongLong(value);
  if (kind == -1 && PyErr_Occurred()) return nullptr;
  if (option != CURLSHOPT_SHARE && option != CURLSHOPT_UNSHARE) {
    PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
    return nullptr;
  }
  ShareAccess access(self, CHECK_HANDLE, "setopt");
  if (!access || share_apply_kind(access, option, kind) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_share_share(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return share_apply_kinds(as_share(op), args, nargs, CURLSHOPT_SHARE, "share");
}

PyObject* do_share_unshare(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return share_apply_kinds(as_share(op), args, nargs, CURLSHOPT_UNSHARE, "unshare");
}

constexpr char kShareTypeName[] = "CurlShare";

PyObject* do_share_get_closed(PyObject* op, void* /*closure*/) {
  CurlShareObject* self = as_share(op);
  bool closed;
  {
    ShareAccess access(self, 0, "closed");
    closed = access.handle() == nullptr;
  }
  return PyBool_FromLong(closed);
}

PyMethodDef curlshareobject_methods[] = {
    method_entry<decl::share_close>(do_share_close),
    method_entry<decl::share_setopt>(do_share_setopt),
    method_entry<decl::share_share>(do_share_share),
    method_entry<decl::share_unshare>(do_share_unshare),
    KELVEX_PICKLE_REFUSAL(kShareTypeName, decl::share_getstate, decl::share_setstate),
    method_entry<decl::share_enter>(enter_self),
    method_entry<decl::share_exit>(exit_closing<do_share_close>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef curlshareobject_getsets[] = {
    {"closed", do_share_get_closed, nullptr, share_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* do_share_getattro(PyObject* op, PyObject* name) {
  CurlShareObject* self = as_share(op);
  assert_share_state(self);
  PyObject* value = PyObject_GenericGetAttr(op, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    CriticalSection cs(op);
    value = my_getattro(op, name, self->dict, kx.curlshareobject_constants, curlshareobject_methods);
  }
  return value;
}

int do_share_setattro(PyObject* op, PyObject* name, PyObject* value) {
  CurlShareObject* self = as_share(op);
  assert_share_state(self);
  CriticalSection cs(op);
  return my_setattro(&self->dict, name, value);
}

}  // namespace

// -- Routines of the Curl side -------------------------------------------------

// Attaches `easy` to `share` as one step under the share's mutex: points the
// easy handle at the share handle, records it in the registry and stores the
// strong reference in easy->share. Done apart, a close() on another thread
// could free the share handle between reading it and attaching, or find the
// handle attached in libcurl but not yet recorded and free a share handle
// still in use.
int share_register_easy(CurlShareObject* share, CurlObject* easy, CURL* handle) {
  assert(share != nullptr && easy != nullptr);
  assert(easy->share == nullptr && easy->handle.is(handle) && handle != nullptr);
  Ref key = Ref::steal(PyLong_FromVoidPtr(easy));
  if (!key) return -1;
  Ref ref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(easy), nullptr));
  if (!ref) return -1;
  CURLcode rc;
  {
    ShareAccess guard(share, 0, "setopt");
    if (!share->share_handle.open() || share->easies == nullptr) {
      guard.unlock();
      set_error_text("CurlShare is closed");
      return -1;
    }
    rc = curl_easy_setopt(handle, CURLOPT_SHARE, guard.handle());
    if (rc == CURLE_OK) {
      if (PyDict_SetItem(share->easies, key.get(), ref.get()) < 0) {
        // Detaching (setting null) cannot fail for a valid handle.
        (void)curl_easy_setopt(handle, CURLOPT_SHARE, nullptr);
        return -1;
      }
      easy->share = reinterpret_cast<CurlShareObject*>(Py_NewRef(as_object(share)));
      easy->share_key = key.release();
      return 0;
    }
  }
  set_error_curl_code(rc, easy->error);
  return -1;
}

// Called on every path where a Curl lets go of its share (unset, close,
// clear, destruction), before the Curl drops its reference. The easy handle
// is detached from the share handle here, under the mutex and before the
// entry goes: otherwise a close() on another thread could find the registry
// empty while libcurl still counts the handle as attached. The entry always
// goes (its key was kept from attaching), so close() can take an entry whose
// Curl is already unreachable for one still being destroyed. A pending
// exception of the caller survives; none of this routine's own is left set.
//
// With `keep_on_refusal`, a libcurl refusal to let go of the handle leaves
// the registry and the Curl as they were and is returned instead.
namespace {

CURLcode unregister_easy(CurlShareObject* share, CurlObject* easy, CURL* handle,
                         bool keep_on_refusal) {
  assert(share != nullptr && easy != nullptr);
  PendingExceptionSaver pending;
  CURLcode rc = CURLE_OK;
  {
    Ref key;
    Ref removed;
    ShareAccess guard(share, 0, "unsetopt");
    if (easy->share == share && handle != nullptr && share->share_handle.open()) {
      rc = detach_handle_locked(handle);
    }
    if (rc == CURLE_OK || !keep_on_refusal) {
      key.reset(std::exchange(easy->share_key, nullptr));
      assert(key);
      if (key && share->easies != nullptr) {
        PyObject* value = nullptr;
        if (PyDict_Pop(share->easies, key.get(), &value) < 0) PyErr_Clear();
        removed.reset(value);
      }
    }
  }
  pending.restore();
  return keep_on_refusal ? rc : CURLE_OK;
}

}  // namespace

void share_unregister_easy(CurlShareObject* share, CurlObject* easy, CURL* handle) {
  (void)unregister_easy(share, easy, handle, false);
}

void share_detach_easy(CurlObject* easy, CURL* handle) {
  CurlShareObject* share = easy->share;
  if (share == nullptr) return;
  share_unregister_easy(share, easy, handle);
  easy->share = nullptr;
  // Possibly the last reference: its release takes `mutex`, given back above.
  Py_DECREF(as_object(share));
}

int share_unset_easy(const CurlAccess& access) {
  CurlObject* easy = access.curl();
  CurlShareObject* share = easy->share;
  if (share == nullptr) return 0;
  const CURLcode rc = unregister_easy(share, easy, access.handle(), true);
  if (rc != CURLE_OK) {
    set_error_curl_code(rc, easy->error);
    return -1;
  }
  easy->share = nullptr;
  Py_DECREF(as_object(share));
  return 0;
}

PyObject* do_curl_setopt_share(const CurlAccess& access, PyObject* value) {
  CurlObject* self = access.curl();
  if (self->share != nullptr) {
    set_error_text("Curl object already sharing. Unshare first.");
    return nullptr;
  }
  if (Py_TYPE(value) != &CurlShare_Type) {
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return nullptr;
  }
  if (share_register_easy(as_share(value), self, access.handle()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// Designated initialisers name only the slots in use; the interpreter's
// type record has many more, which stay zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject CurlShare_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlShare",
    .tp_basicsize = sizeof(CurlShareObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_share_dealloc,
    .tp_getattro = do_share_getattro,
    .tp_setattro = do_share_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = doc_of<decl::share>(),
    .tp_traverse = do_share_traverse,
    .tp_clear = do_share_clear,
    .tp_weaklistoffset = offsetof(CurlShareObject, weakreflist),
    .tp_methods = curlshareobject_methods,
    .tp_getset = curlshareobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_share_new,
    .tp_free = PyObject_GC_Del,
};
#pragma GCC diagnostic pop
