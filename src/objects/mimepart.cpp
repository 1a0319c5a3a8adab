// CurlMimePart: one part of a CurlMime document, filled from memory, a file,
// a nested document or Python callables (libcurl's data-callback hooks and
// the release of their owner live here too).
#include "mimepart.h"

#include "access.h"
#include "callbacks.h"
#include "globals.h"
#include "holders.h"
#include "mimeshared.h"
#include "records.h"

#include <utility>

#include <cstdio>

#include "docstrings.h"

namespace {

void curlmimepart_release_data_cb_owner(CurlMimePartObject* part) {
  if (part->data_cb_owner == nullptr) return;
  Ref owner = Ref::steal(part->data_cb_owner);
  part->data_cb_owner = nullptr;
  if (part->mime != nullptr &&
      curlmime_owner_list_remove_ptr(as_mime(part->mime)->data_cb_owners, owner.get()) < 0) {
    PyErr_Clear();
  }
}

// libcurl drops a part's old content (and any document nested there) before
// it takes new content, whether or not it then accepts the new content.
void curlmimepart_content_replaced(CurlMimePartObject* part) {
  curlmimepart_release_data_cb_owner(part);
  if (part->mime == nullptr) return;
  CurlMimeObject* mime = as_mime(part->mime);
  if (mime->submimes == nullptr) return;
  for (Py_ssize_t i = PyList_GET_SIZE(mime->submimes) - 1; i >= 0; --i) {
    Ref child = Ref::steal(PyList_GetItemRef(mime->submimes, i));
    if (!child) {
      PyErr_Clear();
      return;
    }
    if (!is_mime(child.get()) || !part->part.is(as_mime(child.get())->parent_part)) continue;
    curlmime_invalidate_wrappers(as_mime(child.get()), Invalidation::full);
    if (mime->submimes == nullptr || PyList_SetSlice(mime->submimes, i, i + 1, nullptr) < 0) {
      PyErr_Clear();
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Callback-fed parts: the owner and libcurl's hooks
// ---------------------------------------------------------------------------

// The hooks below attach with AttachedThread: they run on a transfer thread
// that detached (perform, a multi driver) or on a thread already attached
// (close(), a content change).

// Past initialisation's end, and during finalization on a thread that is
// not attached (ensuring a thread state there would hang or end the
// thread), the hooks must not touch Python objects.
bool interpreter_usable() {
  if (!Py_IsInitialized()) return false;
  return !Py_IsFinalizing() || PyThreadState_GetUnchecked() != nullptr;
}

void report_unraisable(PyObject* obj) { PyErr_WriteUnraisable(obj); }

void mime_data_cb_owner_release(MimeDataCbOwnerObject* owner, bool call_free) {
  // Whatever is pending on this thread state (close() or a deallocation
  // during an exception) must survive the free callable.
  PendingExceptionSaver pending;
  int64_t refs = __atomic_load_n(&owner->libcurl_refs, __ATOMIC_ACQUIRE);
  do {
    if (refs <= 0) {
      set_error_text("internal error: mime data_cb owner libcurl refcount underflow");
      report_unraisable(reinterpret_cast<PyObject*>(owner));
      return;
    }
  } while (!__atomic_compare_exchange_n(&owner->libcurl_refs, &refs, refs - 1, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  if (call_free && refs == 1 && __atomic_exchange_n(&owner->free_called, 1, __ATOMIC_ACQ_REL) == 0) {
    Ref callable = Ref::borrow(owner->free);
    Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
    if (callable) {
      Ref result = call_callable(callable.get(), userdata.get());
      if (!result) report_unraisable(callable.get());
    }
  }
  Py_DECREF(reinterpret_cast<PyObject*>(owner));
}

size_t mime_data_cb_read_callback(char* buffer, size_t size, size_t nitems, void* arg) {
  constexpr size_t failure = CURL_READFUNC_ABORT;
  auto* owner = static_cast<MimeDataCbOwnerObject*>(arg);
  if (owner == nullptr || !interpreter_usable()) return failure;
  AttachedThread attached;
  // An exception left by an earlier callback of this transfer must reach
  // the call that runs it, untouched.
  if (exception_pending()) return failure;
  Ref callable = Ref::borrow(owner->read);
  if (!callable || size == 0 || nitems == 0) return failure;

  size_t total = 0;
  if (__builtin_mul_overflow(size, nitems, &total) || total > INT32_MAX) {
    set_error_text("integer overflow in mime read callback");
    return callback_failed(failure);
  }
  const auto wanted = static_cast<long>(total);
  Ref request = Ref::steal(PyLong_FromLong(wanted));
  if (!request) return callback_failed(failure);
  Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
  Ref result = call_callable(callable.get(), userdata.get(), request.get());
  if (!result) return callback_failed(failure);

  PyObject* value = result.get();
  if (PyObject_CheckBuffer(value)) {
    BufferGuard view;
    if (view.acquire(value, PyBUF_SIMPLE) < 0) return callback_failed(failure);
    const long length = static_cast<long>(view->len);
    if (length > wanted) {
      set_error_format(
                   "invalid return value for mime read callback (%ld bytes returned when at "
                   "most %ld bytes were wanted)",
                   length, wanted);
      return callback_failed(failure);
    }
    if (length > 0) std::memcpy(buffer, view->buf, static_cast<size_t>(length));
    return static_cast<size_t>(length);
  }
  if (PyUnicode_Check(value)) {
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(value, "ascii", "strict"));
    if (!encoded) return callback_failed(failure);
    const long length = static_cast<long>(PyBytes_GET_SIZE(encoded.get()));
    if (length > wanted) {
      set_error_format(
                   "invalid return value for mime read callback (%ld bytes returned after "
                   "ASCII encoding when at most %ld bytes were wanted)",
                   length, wanted);
      return callback_failed(failure);
    }
    if (length > 0) {
      std::memcpy(buffer, PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(length));
    }
    return static_cast<size_t>(length);
  }
  if (PyLong_Check(value)) {
    int overflow = 0;
    const long long code = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && (code == CURL_READFUNC_ABORT || code == CURL_READFUNC_PAUSE)) {
      return static_cast<size_t>(code);
    }
    PyErr_Clear();
    set_error_text(
        "mime read callback must return a buffer object, an ASCII-only Unicode string, "
        "READFUNC_ABORT, or READFUNC_PAUSE");
  } else {
    set_error_text(
        "mime read callback must return an object supporting the buffer protocol, an "
        "ASCII-only Unicode string, READFUNC_ABORT, or READFUNC_PAUSE");
  }
  return callback_failed(failure);
}

int mime_data_cb_seek_callback(void* arg, curl_off_t offset, int origin) {
  constexpr int failure = CURL_SEEKFUNC_FAIL;
  auto* owner = static_cast<MimeDataCbOwnerObject*>(arg);
  if (owner == nullptr || !interpreter_usable()) return failure;
  AttachedThread attached;
  if (exception_pending()) return failure;
  static constexpr SeekTexts kTexts = {
      "invalid return value for mime seek callback %d not in (0, 1, 2)",
      "mime seek callback must return 0 (SEEKFUNC_OK), 1 (SEEKFUNC_FAIL), 2 "
      "(SEEKFUNC_CANTSEEK) or None",
  };
  Ref callable = Ref::borrow(owner->seek);
  if (!callable) return failure;
  Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
  return call_seek(callable.get(), userdata.get(), offset, origin, kTexts, failure);
}

void mime_data_cb_free_callback(void* arg) {
  auto* owner = static_cast<MimeDataCbOwnerObject*>(arg);
  if (owner == nullptr || !interpreter_usable()) return;
  AttachedThread attached;
  mime_data_cb_owner_release(owner, true);
}

}  // namespace

// ---------------------------------------------------------------------------
// CurlMimePart
// ---------------------------------------------------------------------------

PyObject* util_mimepart_set_text(CurlMimePartObject* self, const TextSetter& setter,
                                 PyObject* value) {
  MimeAccess access(self, setter.name);
  if (!access) return nullptr;
  if (!PyText_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a byte string or ascii-unicode string",
                 setter.name);
    return nullptr;
  }
  Ref encoded;
  const char* text = PyText_AsString_NoNUL(value, &encoded);
  if (text == nullptr) return nullptr;
  CURLcode res;
  {
    ContentChange change;
    res = setter.call(access.part_handle(), text);
  }
  if (setter.replaces_content) curlmimepart_content_replaced(self);
  if (res != CURLE_OK) {
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_mimepart_data(PyObject* obj, PyObject* value) {
  CurlMimePartObject* self = as_part(obj);
  MimeAccess access(self, "data");
  if (!access) return nullptr;
  CURLcode res = CURLE_OK;
  // libcurl copies the bytes: the Python object is not kept.
  if (with_data_bytes(value, [&](const char* start, size_t length) {
        ContentChange change;
        res = curl_mime_data(access.part_handle(), start, length);
        return 0;
      }) < 0) {
    return nullptr;
  }
  curlmimepart_content_replaced(self);
  if (res != CURLE_OK) {
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_mimepart_headers(PyObject* obj, PyObject* value) {
  CurlMimePartObject* self = as_part(obj);
  MimeAccess access(self, "headers");
  if (!access) return nullptr;
  SlistPtr list;
  if (curlmime_headers_to_slist(value, &list) < 0) return nullptr;
  // With take-ownership set libcurl frees the list with the part; no list
  // clears the part's custom headers.
  const CURLcode res = curl_mime_headers(access.part_handle(), list.get(), 1);
  if (res != CURLE_OK) {
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  (void)list.release();
  Py_RETURN_NONE;
}

PyObject* do_mimepart_subparts(PyObject* obj, PyObject* value) {
  CurlMimePartObject* self = as_part(obj);
  if (!is_mime(value)) {
    PyErr_SetString(PyExc_TypeError, "subparts() expects a CurlMime object");
    return nullptr;
  }
  MimeAccess access(self, "subparts");
  if (!access) return nullptr;
  CurlMimeObject* child = as_mime(value);
  CurlMimeObject* mime = as_mime(self->mime);
  // The child is read under its section until it proves to be of this
  // Curl, whose claim then covers it.
  if (!curlmime_is_open(child)) {
    PyErr_SetString(PyExc_ValueError, "subparts() received a closed mime object");
    return nullptr;
  }
  if (field_ref(value, child->curl).get() != mime->curl) {
    PyErr_SetString(PyExc_ValueError,
                    "subparts() requires both mime objects to use the same Curl handle");
    return nullptr;
  }
  if (child == mime) {
    PyErr_SetString(PyExc_ValueError, "subparts() does not accept the parent mime object");
    return nullptr;
  }
  if (child->owns_handle == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "subparts() received a mime object already attached as subparts");
    return nullptr;
  }
  if (child->curl != nullptr && as_curl(child->curl)->mime == child) {
    PyErr_SetString(PyExc_ValueError,
                    "subparts() received a mime object currently set as MIMEPOST");
    return nullptr;
  }
  if (mime->submimes == nullptr) {
    set_error_text("subparts() cannot attach to a closed mime object");
    return nullptr;
  }
  // Keep the document alive through the content change below, which may
  // run Python code (free callables of the old content).
  Ref keep = Ref::borrow(self->mime);
  if (PyList_Append(mime->submimes, value) < 0) return nullptr;
  CURLcode res;
  {
    ContentChange change;
    res = curl_mime_subparts(access.part_handle(), access.document(child));
  }
  if (res != CURLE_OK) {
    const Py_ssize_t last = PyList_GET_SIZE(mime->submimes) - 1;
    if (PyList_SetSlice(mime->submimes, last, last + 1, nullptr) < 0) PyErr_Clear();
    curlmimepart_content_replaced(self);
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  {
    CriticalSection cs(value);
    child->owns_handle = 0;
  }
  curlmimepart_content_replaced(self);
  child->parent_part = access.part_handle();
  Py_RETURN_NONE;
}

namespace {

PyObject* do_mimepart_data_cb(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CurlMimePartObject* self = as_part(obj);
  PyObject* datasize = nullptr;
  PyObject* read = nullptr;
  PyObject* seek = Py_None;
  PyObject* free = Py_None;
  PyObject* userdata = Py_None;
  if (!parse_keywords<decl::mimepart_data_cb>(args, nargs, kwnames, &datasize, &read, &seek,
                                              &free, &userdata)) {
    return nullptr;
  }
  MimeAccess access(self, "data_cb");
  if (!access) return nullptr;

  curl_off_t size = -1;
  if (datasize != Py_None) {
    const long long value = PyLong_AsLongLong(datasize);
    if (value == -1 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_SetString(PyExc_TypeError, "datasize must be an integer >= -1 or None");
      }
      return nullptr;
    }
    if (value < -1) {
      PyErr_SetString(PyExc_ValueError, "datasize must be >= -1");
      return nullptr;
    }
    size = static_cast<curl_off_t>(value);
  }
  if (!PyCallable_Check(read)) {
    PyErr_SetString(PyExc_TypeError, "read must be callable");
    return nullptr;
  }
  if (seek != Py_None && !PyCallable_Check(seek)) {
    PyErr_SetString(PyExc_TypeError, "seek must be callable or None");
    return nullptr;
  }
  if (free != Py_None && !PyCallable_Check(free)) {
    PyErr_SetString(PyExc_TypeError, "free must be callable or None");
    return nullptr;
  }
  CurlMimeObject* mime = as_mime(self->mime);
  if (mime->data_cb_owners == nullptr) {
    set_error_text("data_cb() cannot attach to a closed mime object");
    return nullptr;
  }
  Ref owner_ref = Ref::steal(MimeDataCbOwner_Type.tp_alloc(&MimeDataCbOwner_Type, 0));
  if (!owner_ref) return nullptr;
  MimeDataCbOwnerObject* owner = as_owner(owner_ref.get());
  assert(record_is_zero(owner));
  owner->read = Py_NewRef(read);
  owner->seek = seek != Py_None ? Py_NewRef(seek) : nullptr;
  owner->free = free != Py_None ? Py_NewRef(free) : nullptr;
  owner->userdata = Py_NewRef(userdata);

  // Keep the document alive through the content change below, which may
  // run Python code (free callables of the old content).
  Ref keep = Ref::borrow(self->mime);
  if (PyList_Append(mime->data_cb_owners, owner_ref.get()) < 0) return nullptr;
  // libcurl's reference: given back by the free hook.
  __atomic_fetch_add(&owner->libcurl_refs, 1, __ATOMIC_ACQ_REL);
  Py_INCREF(owner_ref.get());

  // libcurl releases the part's old content first, which calls the free
  // hook of a previous owner.
  CURLcode res;
  {
    ContentChange change;
    res = curl_mime_data_cb(access.part_handle(), size, mime_data_cb_read_callback,
                            owner->seek != nullptr ? mime_data_cb_seek_callback : nullptr,
                            mime_data_cb_free_callback, owner);
  }
  if (res != CURLE_OK) {
    if (curlmime_owner_list_remove_ptr(mime->data_cb_owners, owner_ref.get()) < 0) PyErr_Clear();
    mime_data_cb_owner_release(owner, false);
    curlmimepart_content_replaced(self);
    curlmime_raise_curl_error(res);
    return nullptr;
  }
  curlmimepart_content_replaced(self);
  self->data_cb_owner = owner_ref.release();
  Py_RETURN_NONE;
}

void do_mimepart_clear_fields(CurlMimePartObject* self) {
  Py_CLEAR(self->data_cb_owner);
  self->part.forget();
  Py_CLEAR(self->mime);
}

int do_mimepart_traverse(PyObject* obj, visitproc visit, void* arg) {
  CurlMimePartObject* self = as_part(obj);
  Py_VISIT(self->mime);
  Py_VISIT(self->data_cb_owner);
  return 0;
}

int do_mimepart_clear(PyObject* obj) {
  do_mimepart_clear_fields(as_part(obj));
  return 0;
}

// No libcurl call: libcurl frees parts with their document.
void do_mimepart_dealloc(PyObject* obj) {
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_mimepart_dealloc)
  do_mimepart_clear_fields(as_part(obj));
  Py_TYPE(obj)->tp_free(obj);
  Py_TRASHCAN_END
}

}  // namespace

// ---------------------------------------------------------------------------
// Method table and type object
// ---------------------------------------------------------------------------

static PyMethodDef curlmimepart_methods[] = {
    method_entry<decl::mimepart_name>(do_mimepart_set_text<kName>),
    method_entry<decl::mimepart_data>(do_mimepart_data),
    method_entry<decl::mimepart_data_cb>(do_mimepart_data_cb),
    method_entry<decl::mimepart_filedata>(do_mimepart_set_text<kFiledata>),
    method_entry<decl::mimepart_filename>(do_mimepart_set_text<kFilename>),
    method_entry<decl::mimepart_type>(do_mimepart_set_text<kType>),
    method_entry<decl::mimepart_encoder>(do_mimepart_set_text<kEncoder>),
    method_entry<decl::mimepart_headers>(do_mimepart_headers),
    method_entry<decl::mimepart_subparts>(do_mimepart_subparts),
    {nullptr, nullptr, 0, nullptr},
};
// Designated initializers leave the remaining slots zero, as intended.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject CurlMimePart_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMimePart",
    .tp_basicsize = sizeof(CurlMimePartObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_mimepart_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = mimepart_doc,
    .tp_traverse = do_mimepart_traverse,
    .tp_clear = do_mimepart_clear,
    .tp_methods = curlmimepart_methods,
    .tp_alloc = PyType_GenericAlloc,
    .tp_free = PyObject_GC_Del,
};

#pragma GCC diagnostic pop
