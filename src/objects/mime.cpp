// CurlMime: multipart documents built part by part, nested,
// fed from memory, files or Python callables, and attached to the Curl they
// were created with through MIMEPOST.
//
// libcurl owns the parts of a document and frees them with it; the Python
// wrappers only point at them, and every wrapper that depends on a document
// is invalidated before that document's memory goes. The MIME calls run on
// the calling thread without detaching: the only guard is the state check of
// the document's Curl, which refuses while a transfer reads the document.
#include "mime.h"

#include "access.h"
#include "callbacks.h"
#include "globals.h"
#include "holders.h"
#include "mimepart.h"
#include "mimeshared.h"
#include "records.h"

#include <utility>

#include <cstdio>

#include "docstrings.h"


// ---------------------------------------------------------------------------
// Errors and argument checks
// ---------------------------------------------------------------------------

void curlmime_raise_curl_error(CURLcode code) {
  set_error_code_text(static_cast<long>(code), curl_easy_strerror(code));
}

int curlmime_check_text_arg(PyObject* value, const char* label) {
  if (given(value) == nullptr) return 0;
  if (!PyText_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a byte string or ascii-unicode string", label);
    return -1;
  }
  Ref encoded;
  return PyText_AsString_NoNUL(value, &encoded) != nullptr ? 0 : -1;
}

int curlmime_headers_to_slist(PyObject* value, SlistPtr* out) {
  out->reset();
  if (value == Py_None) return 0;
  const int which = PyListOrTuple_Check(value);
  if (which == 0) {
    PyErr_SetString(PyExc_TypeError, "headers must be a list or tuple of strings");
    return -1;
  }
  const Py_ssize_t count = PyListOrTuple_Size(value, which);
  SlistPtr list = text_items_to_slist(value, which, count,
                                      "headers must contain only byte or ascii-unicode strings");
  if (!list && PyErr_Occurred()) return -1;
  *out = std::move(list);
  return 0;
}

// ---------------------------------------------------------------------------
// State checks
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Owner lists and invalidation
// ---------------------------------------------------------------------------

int curlmime_owner_list_remove_ptr(PyObject* list, PyObject* owner) {
  if (list == nullptr || owner == nullptr) return 0;
  if (!PyList_Check(list)) {
    set_error_text("internal error: owner list is not a list");
    return -1;
  }
  const Py_ssize_t count = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyList_GET_ITEM(list, i) == owner) return PyList_SetSlice(list, i, i + 1, nullptr);
  }
  return 0;
}

namespace {

void curlmime_invalidate_parts(CurlMimeObject* self) {
  if (self->parts == nullptr) return;
  const Py_ssize_t count = PyList_GET_SIZE(self->parts);
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = Ref::steal(PyList_GetItemRef(self->parts, i));
    if (!item) {
      PyErr_Clear();
      break;
    }
    if (!is_part(item.get())) continue;
    CurlMimePartObject* part = as_part(item.get());
    if (part->mime == reinterpret_cast<PyObject*>(self)) {
      Ref mime;
      CriticalSection cs(item.get());
      mime = Ref::steal(std::exchange(part->mime, nullptr));
      part->part.forget();
      cs.end();
    }
    if (part->data_cb_owner != nullptr) {
      Ref owner = Ref::steal(part->data_cb_owner);
      part->data_cb_owner = nullptr;
    }
  }
}

}  // namespace

void curlmime_invalidate_wrappers(CurlMimeObject* self, Invalidation how) {
  if (self == nullptr) return;
  if (!self->mime_handle.open() && self->curl == nullptr && self->parts == nullptr &&
      self->submimes == nullptr && self->data_cb_owners == nullptr) {
    return;
  }
  {
    // Under the section too: the checks made before a claim read them there.
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    self->mime_handle.forget();
    self->owns_handle = 0;
  }
  curlmime_invalidate_parts(self);
  if (self->submimes != nullptr) {
    const Py_ssize_t count = PyList_GET_SIZE(self->submimes);
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref child = Ref::steal(PyList_GetItemRef(self->submimes, i));
      if (!child) {
        PyErr_Clear();
        break;
      }
      if (is_mime(child.get())) curlmime_invalidate_wrappers(as_mime(child.get()), how);
    }
  }
  Py_CLEAR(self->parts);
  if (how == Invalidation::full) {
    self->parent_part = nullptr;
    Py_CLEAR(self->submimes);
    Py_CLEAR(self->data_cb_owners);
  }
  Ref curl;
  {
    CriticalSection cs(reinterpret_cast<PyObject*>(self));
    curl = Ref::steal(std::exchange(self->curl, nullptr));
  }
}

namespace {

// Detaches the document from its Curl when it is that Curl's MIMEPOST;
// -1 with an exception set when libcurl refuses.
int curlmime_detach_from_curl(CurlMimeObject* self) {
  CurlObject* curl = self->curl != nullptr ? as_curl(self->curl) : nullptr;
  if (curl == nullptr || curl->mime != self) return 0;
  if (curl->handle.open()) {
    // Reached from close() under the claim already, or from a teardown:
    // then the slot that serves the handle is waited for.
    TeardownGuard claim = TeardownGuard::serving(curl);
    CURLcode res = curl_easy_setopt(teardown_handle(claim, curl->handle), CURLOPT_MIMEPOST,
                                    static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      curlmime_raise_curl_error(res);
      return -1;
    }
  }
  Ref attached = Ref::steal(reinterpret_cast<PyObject*>(curl->mime));
  curl->mime = nullptr;
  curl->mime_closed = 1;
  return 0;
}

// The collector's clear, and the last step of close() and of deallocation:
// `held` is close()'s guard, or a TeardownGuard of an unreachable document.
void curlmime_clear(CurlMimeObject* self, const HandleGuard& held) {
  curl_mime* handle = teardown_handle(held, self->mime_handle);
  const int owns = self->owns_handle;
  if (curlmime_detach_from_curl(self) < 0) {
    PyErr_Clear();
    return;
  }
  // A nested document stays in its parent's libcurl tree until the parent
  // frees it.
  const bool nested = handle != nullptr && owns == 0;
  curlmime_invalidate_wrappers(self, nested ? Invalidation::keep_libcurl_lists : Invalidation::full);
  // Frees every part; libcurl calls the free hook of each callback-fed one,
  // which may run Python code.
  if (owns == 1 && handle != nullptr) {
    ContentChange change;
    curl_mime_free(handle);
  }
}

// Appends to `into` every callback owner of a document's libcurl tree: its
// own parts' and, depth first, those of its nested documents.
int curlmime_collect_data_cb_owners(CurlMimeObject* self, PyObject* into) {
  if (self->data_cb_owners != nullptr) {
    assert(PyList_Check(self->data_cb_owners));
    const Py_ssize_t count = PyList_GET_SIZE(self->data_cb_owners);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(self->data_cb_owners, i);
      if (is_owner(item) && PyList_Append(into, item) < 0) return -1;
    }
  }
  if (self->submimes != nullptr) {
    assert(PyList_Check(self->submimes));
    const Py_ssize_t count = PyList_GET_SIZE(self->submimes);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(self->submimes, i);
      if (is_mime(item) && curlmime_collect_data_cb_owners(as_mime(item), into) < 0) return -1;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// CurlMime
// ---------------------------------------------------------------------------

PyObject* do_mime_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  PyObject* curl = nullptr;
  if (!parse_constructor<decl::mime>(args, kwds, &Curl_Type, &curl)) return nullptr;
  MimeAccess access(as_curl(curl), "CurlMime", CHECK_HANDLE);
  if (!access) return nullptr;
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  CurlMimeObject* self = as_mime(obj.get());
  assert(record_is_zero(self));
  self->owns_handle = 1;
  self->curl = Py_NewRef(curl);
  self->parts = PyList_New(0);
  if (self->parts == nullptr) return nullptr;
  self->submimes = PyList_New(0);
  if (self->submimes == nullptr) return nullptr;
  self->data_cb_owners = PyList_New(0);
  if (self->data_cb_owners == nullptr) return nullptr;
  self->mime_handle.adopt(curl_mime_init(access.CurlAccess::handle()));
  if (!self->mime_handle.open()) return PyErr_NoMemory();
  return obj.release();
}

PyObject* util_mime_addpart(CurlMimeObject* self) {
  MimeAccess access(self, "addpart");
  if (!access) return nullptr;
  curl_mimepart* part = curl_mime_addpart(access.handle());
  if (part == nullptr) return PyErr_NoMemory();
  Ref obj = Ref::steal(CurlMimePart_Type.tp_alloc(&CurlMimePart_Type, 0));
  if (!obj) return nullptr;
  CurlMimePartObject* wrapper = as_part(obj.get());
  assert(record_is_zero(wrapper));
  wrapper->part.adopt(part);
  wrapper->mime = Py_NewRef(reinterpret_cast<PyObject*>(self));
  if (PyList_Append(self->parts, obj.get()) < 0) return nullptr;
  return obj.release();
}

PyObject* do_mime_addpart(PyObject* self, PyObject* /*ignored*/) {
  return util_mime_addpart(as_mime(self));
}

// The seven values of the builders, each null when not given.
struct AddArgs {
  PyObject* name = nullptr;
  PyObject* data = nullptr;
  PyObject* file = nullptr;
  PyObject* filename = nullptr;
  PyObject* content_type = nullptr;
  PyObject* headers = nullptr;
  PyObject* encoder = nullptr;

  void normalize() {
    for (PyObject** field :
         {&name, &data, &file, &filename, &content_type, &headers, &encoder}) {
      *field = given(*field);
    }
  }
};

int curlmime_validate_add_args(CurlMimeObject* /*self*/, const AddArgs& a) {
  if (a.data != nullptr && a.file != nullptr) {
    PyErr_SetString(PyExc_ValueError, "add() accepts at most one of data or file");
    return -1;
  }
  if (curlmime_check_text_arg(a.name, "name") < 0) return -1;
  if (a.data != nullptr && with_data_bytes(a.data, [](const char*, size_t) { return 0; }) < 0) {
    return -1;
  }
  if (a.file != nullptr) {
    if (curlmime_check_text_arg(a.file, "file") < 0) return -1;
    Ref encoded;
    const char* path = PyText_AsString_NoNUL(a.file, &encoded);
    if (path == nullptr) return -1;
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
      curlmime_raise_curl_error(CURLE_READ_ERROR);
      return -1;
    }
    std::fclose(fp);
  }
  if (curlmime_check_text_arg(a.filename, "filename") < 0) return -1;
  if (curlmime_check_text_arg(a.content_type, "content_type") < 0) return -1;
  if (a.headers != nullptr) {
    SlistPtr list;
    if (curlmime_headers_to_slist(a.headers, &list) < 0) return -1;
  }
  return curlmime_check_text_arg(a.encoder, "encoder");
}

int curlmime_apply_add_args(PyObject* part, const AddArgs& a) {
  auto apply = [part](PyObject* (*setter)(PyObject*, PyObject*), PyObject* value) {
    if (value == nullptr) return 0;
    Ref result = Ref::steal(setter(part, value));
    return result ? 0 : -1;
  };
  if (apply(do_mimepart_set_text<kName>, a.name) < 0) return -1;
  if (a.data != nullptr) {
    if (apply(do_mimepart_data, a.data) < 0) return -1;
  } else if (apply(do_mimepart_set_text<kFiledata>, a.file) < 0) {
    return -1;
  }
  if (apply(do_mimepart_set_text<kFilename>, a.filename) < 0) return -1;
  if (apply(do_mimepart_set_text<kType>, a.content_type) < 0) return -1;
  if (apply(do_mimepart_headers, a.headers) < 0) return -1;
  return apply(do_mimepart_set_text<kEncoder>, a.encoder);
}

PyObject* util_mime_add(CurlMimeObject* self, AddArgs a) {
  a.normalize();
  if (curlmime_validate_add_args(self, a) < 0) return nullptr;
  // The part is made and filled under one claim: a transfer of the handle
  // that came between would send it without content, and libcurl cannot
  // rewind such a part for any later transfer.
  MimeAccess access(self, "addpart");
  if (!access) return nullptr;
  Ref part = Ref::steal(util_mime_addpart(self));
  if (!part) return nullptr;
  // On failure the part stays in the document with what was set so far.
  if (curlmime_apply_add_args(part.get(), a) < 0) return nullptr;
  return part.release();
}

PyObject* do_mime_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AddArgs a;
  if (!parse_keywords<decl::mime_add>(args, nargs, kwnames, &a.name, &a.data, &a.file,
                                      &a.filename, &a.content_type, &a.headers, &a.encoder)) {
    return nullptr;
  }
  return util_mime_add(as_mime(self), a);
}

PyObject* do_mime_add_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AddArgs a;
  if (!parse_keywords<decl::mime_add_field>(args, nargs, kwnames, &a.name, &a.data,
                                            &a.content_type, &a.encoder, &a.headers)) {
    return nullptr;
  }
  return util_mime_add(as_mime(self), a);
}

PyObject* do_mime_add_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AddArgs a;
  if (!parse_keywords<decl::mime_add_file>(args, nargs, kwnames, &a.name, &a.file, &a.filename,
                                           &a.content_type, &a.headers, &a.encoder)) {
    return nullptr;
  }
  return util_mime_add(as_mime(self), a);
}

PyObject* do_mime_add_multipart(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CurlMimeObject* self = as_mime(obj);
  PyObject* name = nullptr;
  PyObject* subtype = nullptr;
  if (!parse_keywords<decl::mime_add_multipart>(args, nargs, kwnames, &name, &subtype)) {
    return nullptr;
  }
  name = given(name);
  if (curlmime_check_text_arg(name, "name") < 0) return nullptr;
  if (subtype != nullptr && subtype != Py_None &&
      curlmime_check_text_arg(subtype, "subtype") < 0) {
    return nullptr;
  }

  // Not given: multipart/mixed; None: no content type at all.
  Ref content_type;
  if (subtype == nullptr) {
    content_type = Ref::steal(PyBytes_FromString("multipart/mixed"));
  } else if (subtype != Py_None) {
    Ref encoded;
    const char* text = PyText_AsString_NoNUL(subtype, &encoded);
    if (text == nullptr) return nullptr;
    content_type = Ref::steal(PyBytes_FromFormat("multipart/%s", text));
  }
  if (subtype != Py_None && !content_type) return nullptr;

  // The child, its part and their wiring are made under one claim.
  // A closed Curl is the child's to refuse.
  MimeAccess access(self, "addpart", 0);
  if (!access) return nullptr;
  Ref child = Ref::steal(
      PyObject_CallOneArg(reinterpret_cast<PyObject*>(&CurlMime_Type), self->curl));
  if (!child) return nullptr;
  Ref part = Ref::steal(util_mime_addpart(self));
  if (!part) return nullptr;
  if (name != nullptr) {
    Ref result = Ref::steal(do_mimepart_set_text<kName>(part.get(), name));
    if (!result) return nullptr;
  }
  Ref result = Ref::steal(do_mimepart_subparts(part.get(), child.get()));
  if (!result) return nullptr;
  if (content_type) {
    result = Ref::steal(do_mimepart_set_text<kType>(part.get(), content_type.get()));
    if (!result) return nullptr;
  }
  return child.release();
}

PyObject* do_mime_close(PyObject* obj, PyObject* /*ignored*/) {
  CurlMimeObject* self = as_mime(obj);
  if (refuse_during_content_change("close") < 0) return nullptr;
  Ref curl = field_ref(obj, self->curl);
  MimeAccess access(as_curl(curl.get()), "close", 0);
  if (!access) return nullptr;
  if (curlmime_detach_from_curl(self) < 0) return nullptr;
  curlmime_clear(self, access);
  Py_RETURN_NONE;
}

PyObject* do_mime_enter(PyObject* obj, PyObject* /*ignored*/) {
  MimeAccess access(as_mime(obj), "__enter__");
  if (!access) return nullptr;
  return Py_NewRef(obj);
}

PyObject* do_mime_exit(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  if (!parse<decl::mime_exit>(args, nargs, &type, &value, &traceback)) return nullptr;
  return do_mime_close(obj, nullptr);
}

PyObject* do_mime_get_closed(PyObject* obj, void* /*closure*/) {
  return PyBool_FromLong(!curlmime_is_open(as_mime(obj)));
}

int do_mime_traverse(PyObject* obj, visitproc visit, void* arg) {
  CurlMimeObject* self = as_mime(obj);
  Py_VISIT(self->curl);
  Py_VISIT(self->parts);
  Py_VISIT(self->submimes);
  Py_VISIT(self->data_cb_owners);
  // Each listed owner also carries the reference that this document's
  // libcurl tree holds, which the clear routine gives back by freeing the
  // tree; visiting it lets the collector find cycles through user data.
  if (self->data_cb_owners != nullptr) {
    const Py_ssize_t count = PyList_GET_SIZE(self->data_cb_owners);
    for (Py_ssize_t i = 0; i < count; ++i) Py_VISIT(PyList_GET_ITEM(self->data_cb_owners, i));
  }
  return 0;
}

int do_mime_clear(PyObject* obj) {
  curlmime_clear(as_mime(obj), TeardownGuard::unreachable());
  return 0;
}

// The clear routine, run as the finalizer: the collector runs finalizers
// before it clears anything, so the free callables that freeing the
// document calls still find their user data intact.
void do_mime_finalize(PyObject* obj) {
  PendingExceptionSaver pending;
  curlmime_clear(as_mime(obj), TeardownGuard::unreachable());
}

void do_mime_dealloc(PyObject* obj) {
  if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_mime_dealloc)
  // Freeing the document runs free callables; an exception propagating
  // through this deallocation must survive them.
  PendingExceptionSaver pending;
  curlmime_clear(as_mime(obj), TeardownGuard::unreachable());
  // A refused detach leaves fields behind; nothing may outlive the object.
  CurlMimeObject* self = as_mime(obj);
  if (self->curl != nullptr || self->parts != nullptr) {
    curlmime_invalidate_wrappers(self, Invalidation::full);
  }
  Py_CLEAR(self->submimes);
  Py_CLEAR(self->data_cb_owners);
  pending.restore();
  Py_TYPE(obj)->tp_free(obj);
  Py_TRASHCAN_END
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points for other files
// ---------------------------------------------------------------------------

PyObject* do_curl_setopt_mimepost(const CurlAccess& access, PyObject* value) {
  CurlObject* self = access.curl();
  if (!is_mime(value)) {
    PyErr_SetString(PyExc_TypeError, "setopt(option=MIMEPOST) expects a CurlMime object");
    return nullptr;
  }
  CurlMimeObject* mime = as_mime(value);
  // Read under the document's section until it proves to be of this Curl,
  // whose claim then covers it: a document of another Curl may be closing.
  bool open, owns, ours;
  {
    CriticalSection cs(value);
    open = mime->mime_handle.open();
    owns = mime->owns_handle != 0;
    ours = mime->curl == reinterpret_cast<PyObject*>(self);
  }
  if (!open) {
    PyErr_SetString(PyExc_ValueError, "setopt(option=MIMEPOST) received a closed mime object");
    return nullptr;
  }
  if (!owns) {
    PyErr_SetString(PyExc_ValueError,
                    "setopt(option=MIMEPOST) received a mime object already attached as subparts");
    return nullptr;
  }
  if (!ours) {
    PyErr_SetString(PyExc_ValueError,
                    "setopt(option=MIMEPOST) requires a CurlMime created with this Curl handle");
    return nullptr;
  }
  // libcurl keeps the form's pointer when MIMEPOST replaces it; it must not
  // outlive the form that is released below.
  if (self->httppost != nullptr) {
    CURLcode res = curl_easy_setopt(access.handle(), CURLOPT_HTTPPOST, static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
  }
  CURLcode res = curl_easy_setopt(access.handle(), CURLOPT_MIMEPOST, access.document(mime));
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  // libcurl let go of any earlier document (a duplicate's copy included).
  Ref previous = Ref::steal(reinterpret_cast<PyObject*>(self->mime));
  self->mime = reinterpret_cast<CurlMimeObject*>(Py_NewRef(value));
  self->mime_closed = 0;
  Ref previous_owners = Ref::steal(self->mime_owners);
  self->mime_owners = nullptr;
  curl_release(self, RELEASE_HTTPPOST, access.handle());
  Py_RETURN_NONE;
}

PyObject* curlmime_data_cb_owners_snapshot(CurlObject* source) {
  if (source->mime_owners != nullptr) return Py_NewRef(source->mime_owners);
  Ref owners = Ref::steal(PyList_New(0));
  if (!owners) return nullptr;
  PyObject* mime = reinterpret_cast<PyObject*>(source->mime);
  if (mime != nullptr && is_mime(mime) &&
      curlmime_collect_data_cb_owners(as_mime(mime), owners.get()) < 0) {
    return nullptr;
  }
  return PyList_AsTuple(owners.get());
}

void curlmime_duphandle_incref_data_cb_owners(PyObject* snapshot) {
  if (snapshot == nullptr || !PyTuple_Check(snapshot)) return;
  const Py_ssize_t count = PyTuple_GET_SIZE(snapshot);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(snapshot, i);
    if (!is_owner(item)) continue;
    __atomic_fetch_add(&as_owner(item)->libcurl_refs, 1, __ATOMIC_ACQ_REL);
    Py_INCREF(item);
  }
}

// ---------------------------------------------------------------------------
// Method tables and type objects
// ---------------------------------------------------------------------------

static PyMethodDef curlmime_methods[] = {
    method_entry<decl::mime_add>(do_mime_add),
    method_entry<decl::mime_add_field>(do_mime_add_field),
    method_entry<decl::mime_add_file>(do_mime_add_file),
    method_entry<decl::mime_add_multipart>(do_mime_add_multipart),
    method_entry<decl::mime_addpart>(do_mime_addpart),
    method_entry<decl::mime_close>(do_mime_close),
    method_entry<decl::mime_enter>(do_mime_enter),
    method_entry<decl::mime_exit>(do_mime_exit),
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlmime_getsets[] = {
    {"closed", do_mime_get_closed, nullptr, mime_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Designated initializers leave the remaining slots zero, as intended.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject CurlMime_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_mime_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = doc_of<decl::mime>(),
    .tp_traverse = do_mime_traverse,
    .tp_clear = do_mime_clear,
    .tp_methods = curlmime_methods,
    .tp_getset = curlmime_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_mime_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = do_mime_finalize,
};

#pragma GCC diagnostic pop
