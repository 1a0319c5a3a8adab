// The Curl type: creation with the module's defaults, duplication, closing,
// destruction, garbage-collector support, reset, the accessors and attribute
// access. The holder types that let several handles share one libcurl string
// list or legacy form live in holders.cpp.
#include "easy.h"

#include "access.h"
#include "callbacks.h"
#include "globals.h"
#include "mime.h"
#include "multi.h"
#include "share.h"

#include "docstrings.h"

#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Python-visible methods
// ---------------------------------------------------------------------------

PyObject* do_curl_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  if (type == &Curl_Type) {
    if (!parse_constructor<decl::curl>(args, kwds)) return nullptr;
  }
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  CurlObject* self = as_curl(obj.get());
  assert(record_is_zero(self));

  CURL* handle = curl_easy_init();
  self->handle.adopt(handle);
  if (handle == nullptr || util_curl_init(self, handle) != 0) {
    obj.reset();  // the deallocator cleans up whatever was created
    set_error_text("initializing curl failed");
    return nullptr;
  }
  return obj.release();
}

PyObject* do_curl_close(CurlObject* self, PyObject* /*ignored*/) {
  {
    CurlAccess access(self, 0, "close");
    if (!access) return nullptr;
    if (refuse_while_pushing(self, "close") < 0) return nullptr;
    access.unlock();
    util_curl_close(self);
  }
  // Closing the pooled connections runs the close-socket callable, and
  // saving the HSTS cache the HSTS write callable, whose exceptions are left
  // for the call that ran libcurl to raise.
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

namespace {

PyObject* do_curl_duphandle(CurlObject* self, PyObject* /*ignored*/) {
  PyTypeObject* type = Py_TYPE(self);
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  CurlObject* copy = as_curl(obj.get());
  assert(record_is_zero(copy));

  // Inside a callback of the handle's own transfer the copy runs on the
  // slot that callback entered through; otherwise the handle is claimed for
  // the copy, so that the HSTS read callable (which libcurl calls to fill
  // the copy's cache) cannot close, reset or reconfigure the handle being
  // copied, and no other thread uses it meanwhile.
  CurlAccess access(self, 0, "duphandle", Nesting::allow);
  if (!access) return nullptr;
  access.unlock();

  // libcurl's copy of an attached document holds the user data of its
  // callback-fed parts too; which ones is known only before the copy exists.
  Ref mime_owners;
  if (self->mime != nullptr) {
    mime_owners = Ref::steal(curlmime_data_cb_owners_snapshot(self));
    if (!mime_owners) return nullptr;
  }

  // libcurl cannot duplicate a closed handle; its copy keeps pointing the
  // error buffer and the private pointer at the source until told otherwise.
  // This thread stays attached: a callback frame finding its thread attached
  // runs the callable on that state.
  CURL* handle = access.handle() != nullptr ? curl_easy_duphandle(access.handle()) : nullptr;
  copy->handle.adopt(handle);
  if (handle != nullptr && mime_owners) {
    // Counted at once: a failure below frees the copy, and with it libcurl's
    // references.
    curlmime_duphandle_incref_data_cb_owners(mime_owners.get());
    copy->mime_owners = mime_owners.release();
  }
  if (handle == nullptr || util_curl_adopt_copy(self, copy, handle) < 0) {
    obj.reset();
    set_error_text("cloning curl failed");
    return nullptr;
  }
  if (self->mime != nullptr) copy->mime = reinterpret_cast<CurlMimeObject*>(Py_NewRef(self->mime));
  // A read callable that raised something other than an Exception while
  // libcurl filled the copy's cache left it pending: it is raised here, and
  // the half-loaded copy is dropped without handing its cache to the write
  // callable.
  if (PyErr_Occurred()) {
    Py_CLEAR(curl_callable<CURLOPT_HSTSWRITEFUNCTION>(copy));
    return nullptr;
  }
  return obj.release();
}

PyObject* do_curl_reset(CurlObject* self, PyObject* /*ignored*/) {
  CurlAccess access(self, CHECK_HANDLE, "reset");
  if (!access) return nullptr;
  if (refuse_while_pushing(self, "reset") < 0) return nullptr;
  access.unlock();
  curl_easy_reset(access.handle());
  util_curl_xdecref(self, RELEASE_EASY, access.handle());
  if (util_curl_init(self, access.handle()) != 0) {
    util_curl_close(self);
    set_error_text("resetting curl failed");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_curl_multi(CurlObject* self, PyObject* /*ignored*/) {
  assert_curl_state(self);
  PyObject* multi = nullptr;
  int rc;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    if (self->multi_weakref == nullptr) Py_RETURN_NONE;
    rc = PyWeakref_GetRef(self->multi_weakref, &multi);
  }
  if (rc < 0) return nullptr;
  if (rc == 0) Py_RETURN_NONE;
  // The reference is the multi's own (its `weakself`), made when it took
  // the handle in.
  return multi;
}

PyObject* do_curl_share(CurlObject* self, PyObject* /*ignored*/) {
  assert_curl_state(self);
  Ref share;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    share = Ref::borrow(reinterpret_cast<PyObject*>(self->share));
  }
  if (!share) Py_RETURN_NONE;
  return share.release();
}

PyObject* do_curl_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return do_curl_close(reinterpret_cast<CurlObject*>(self), nullptr);
}

constexpr char kCurlTypeName[] = "Curl";

PyObject* do_curl_get_closed(CurlObject* self, void* /*closure*/) {
  bool closed;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    closed = !self->handle.open();
  }
  return PyBool_FromLong(closed);
}

// ---------------------------------------------------------------------------
// Type slots
// ---------------------------------------------------------------------------

void do_curl_dealloc(PyObject* obj) {
  CurlObject* self = as_curl(obj);
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_curl_dealloc)
  Py_CLEAR(self->dict);
  // Deallocation may happen while an exception propagates; closing runs
  // libcurl callbacks and registry updates that must not clobber it.
  PendingExceptionSaver pending;
  {
    // Nothing else holds this object, but a call that reached it through a
    // borrowed pointer (its multi's slot) may still be finishing.
    // A callable released by the close may hold the multi's last
    // reference: it is kept until its slot is given back.
    TeardownGuard multi_claim = TeardownGuard::of_multi(self, TeardownGuard::Keep::multi);
    util_curl_close(self);
  }
  // What the close-socket or HSTS write callable raised has no caller to
  // reach here: it goes to the unraisable hook instead of vanishing.
  if (PyErr_Occurred()) PyErr_FormatUnraisable("Exception ignored while closing a Curl object");
  pending.restore();
  if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(obj);
  Curl_Type.tp_free(obj);
  Py_TRASHCAN_END
}

int do_curl_traverse(PyObject* obj, visitproc visit, void* arg) {
  CurlObject* self = as_curl(obj);
  Py_VISIT(self->dict);
  Py_VISIT(self->multi_weakref);
  Py_VISIT(self->share);
  for (PyObject* callable : self->callables) Py_VISIT(callable);
  Py_VISIT(self->postfields);
  Py_VISIT(self->mime);
  Py_VISIT(self->mime_owners);
  Py_VISIT(self->ca_certs);
  for (ObjectField field : kSlistFields) Py_VISIT(self->*field);
  Py_VISIT(self->httppost);
  return 0;
}

int do_curl_clear(PyObject* obj) {
  CurlObject* self = as_curl(obj);
  // Unsetting the options calls libcurl: under the claims that dealloc
  // takes, the multi's (which serves a member handle) before its own.
  // Dropping this handle's references may drop the multi's last one: it
  // is kept until its slot is given back.
  TeardownGuard multi_claim = TeardownGuard::of_multi(self, TeardownGuard::Keep::multi);
  TeardownGuard own_claim(self);
  util_curl_xdecref(self, RELEASE_ALL, teardown_handle(own_claim, self->handle));
  return 0;
}

// <kelvex.Curl url='...'>, <kelvex.Curl closed>; a handle that a transfer
// holds (perhaps on another thread) is not read: <kelvex.Curl busy>.
PyObject* do_curl_repr(PyObject* obj) {
  CurlObject* self = as_curl(obj);
  Ref type_name = Ref::steal(PyType_GetFullyQualifiedName(Py_TYPE(obj)));
  if (!type_name) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "repr");
  if (!access) {
    PyErr_Clear();
    return PyUnicode_FromFormat("<%U %s>", type_name.get(), !self->handle.open() ? "closed" : "busy");
  }
  // Before any transfer libcurl answers with the URL set; after one, with
  // the last URL it used (redirects followed).
  char* url = nullptr;
  if (curl_easy_getinfo(access.handle(), CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || url == nullptr ||
      url[0] == '\0')
    return PyUnicode_FromFormat("<%U no URL>", type_name.get());
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(url, static_cast<Py_ssize_t>(std::strlen(url)), "replace"));
  if (!text) return nullptr;
  return PyUnicode_FromFormat("<%U url=%R>", type_name.get(), text.get());
}

PyObject* do_curl_getattro(PyObject* obj, PyObject* name) {
  PyObject* value = PyObject_GenericGetAttr(obj, name);
  if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  CriticalSection cs(obj);
  return my_getattro(obj, name, as_curl(obj)->dict, kx.curlobject_constants, nullptr);
}

int do_curl_setattro(PyObject* obj, PyObject* name, PyObject* value) {
  CurlObject* self = as_curl(obj);
  assert_curl_state(self);
  CriticalSection cs(obj);
  return my_setattro(&self->dict, name, value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal operations
// ---------------------------------------------------------------------------

int util_curl_init(CurlObject* self, CURL* handle) {
  if (curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, self->error) != CURLE_OK) return -1;
  std::memset(self->error, 0, sizeof(self->error));
  if (curl_easy_setopt(handle, CURLOPT_PRIVATE, self) != CURLE_OK) return -1;
  self->noprogress = 1;
  self->pipewait_chosen = self->pipewait_by_core = false;
  if (install_progress_trampoline(self, handle) != CURLE_OK) return -1;
  if (curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L) != CURLE_OK) return -1;
  assert(kx.g_kelvex_useragent != nullptr);
  if (curl_easy_setopt(handle, CURLOPT_USERAGENT, kx.g_kelvex_useragent) != CURLE_OK) return -1;
  return 0;
}

// The caller holds the slot that serves the handle (its own, or its
// multi's while it belongs to one) and no critical section.
void util_curl_close(CurlObject* self) {
  assert_curl_state(self);
  // The handle's own slot is held through the whole close, taken before
  // the handle leaves its multi, so that it never looks idle to another
  // thread while it is being taken apart; the cleanup's callbacks (closing
  // the connections' sockets, saving the HSTS cache) enter through it.
  TeardownGuard own(self);
  if (CURL* handle = teardown_handle(own, self->handle)) {
    if (CurlMultiObject* multi = self->multi_stack) multi_close_member(multi, self, handle);
    share_detach_easy(self, handle);
    {
      auto call = own.detach();
      curl_easy_cleanup(handle);
    }
    {
      CriticalSection cs(reinterpret_cast<PyObject*>(self));
      self->handle.forget();
    }
    closesocket_unlink(self);
    // The libcurl handle is gone: release without touching it.
    util_curl_xdecref(self, RELEASE_EASY, nullptr);
  }
  assert(self->multi_stack == nullptr);
  assert(self->multi_weakref == nullptr);
  assert(self->share == nullptr);
}

void util_curl_xdecref(CurlObject* self, unsigned groups, CURL* handle) {
  // The share goes where its row stood in the order of release: after the
  // callables and the posted fields, before the forms and lists.
  constexpr unsigned kBeforeShare = RELEASE_DICT | RELEASE_MULTI | RELEASE_CALLBACKS |
                                    RELEASE_POSTFIELDS;
  curl_release(self, groups & kBeforeShare, handle);
  if (groups & RELEASE_SHARE) share_detach_easy(self, handle);
  curl_release(self, groups & ~(kBeforeShare | RELEASE_SHARE), handle);
}

// ---------------------------------------------------------------------------
// Method table and type objects
// ---------------------------------------------------------------------------

static PyMethodDef curlobject_methods[] = {
    method_entry<decl::curl_close>(do_curl_close),
    method_entry<decl::curl_duphandle>(do_curl_duphandle),
    method_entry<decl::curl_errstr>(do_curl_errstr),
    method_entry<decl::curl_errstr_raw>(do_curl_errstr_raw),
    method_entry<decl::curl_getinfo>(do_curl_getinfo),
    method_entry<decl::curl_getinfo_raw>(do_curl_getinfo_raw),
    method_entry<decl::curl_multi>(do_curl_multi),
    method_entry<decl::curl_pause>(do_curl_pause),
    method_entry<decl::curl_perform>(do_curl_perform),
    method_entry<decl::curl_perform_rb>(do_curl_perform_rb),
    method_entry<decl::curl_perform_rs>(do_curl_perform_rs),
    method_entry<decl::curl_recv>(do_curl_recv),
    method_entry<decl::curl_recv_into>(do_curl_recv_into),
    method_entry<decl::curl_reset>(do_curl_reset),
    method_entry<decl::curl_send>(do_curl_send),
    method_entry<decl::curl_setopt>(do_curl_setopt),
    method_entry<decl::curl_setopt_string>(do_curl_setopt_string),
    method_entry<decl::curl_share>(do_curl_share),
    method_entry<decl::curl_unpause>(do_curl_unpause),
    method_entry<decl::curl_unsetopt>(do_curl_unsetopt),
    method_entry<decl::curl_set_ca_certs>(do_curl_set_ca_certs),
    method_entry<decl::curl_ws_send>(do_curl_ws_send),
    method_entry<decl::curl_ws_recv>(do_curl_ws_recv),
    method_entry<decl::curl_ws_recv_into>(do_curl_ws_recv_into),
    method_entry<decl::curl_ws_meta>(do_curl_ws_meta),
    method_entry<decl::curl_ws_close>(do_curl_ws_close),
    method_entry<decl::curl_header>(do_curl_header),
    method_entry<decl::curl_headers>(do_curl_headers),
    KELVEX_PICKLE_REFUSAL(kCurlTypeName, decl::curl_getstate, decl::curl_setstate),
    method_entry<decl::curl_enter>(enter_self),
    method_entry<decl::curl_exit>(do_curl_exit),
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlobject_getsets[] = {
    {"closed", reinterpret_cast<getter>(do_curl_get_closed), nullptr, curl_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Designated initializers leave every slot not named here zero, which is
// what the interpreter expects of a static type before PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject Curl_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.Curl",
    .tp_basicsize = sizeof(CurlObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curl_dealloc,
    .tp_repr = do_curl_repr,
    .tp_getattro = do_curl_getattro,
    .tp_setattro = do_curl_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = doc_of<decl::curl>(),
    .tp_traverse = do_curl_traverse,
    .tp_clear = do_curl_clear,
    .tp_weaklistoffset = offsetof(CurlObject, weakreflist),
    .tp_methods = curlobject_methods,
    .tp_getset = curlobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_curl_new,
    .tp_free = PyObject_GC_Del,
};

#pragma GCC diagnostic pop
