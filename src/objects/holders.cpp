// The holder types: a libcurl string list or legacy form that one handle,
// or a duplicate and its source together, point libcurl at, freed with the
// last of them.
#include "holders.h"

#include "records.h"

#include "docstrings.h"

namespace {

void do_curlslist_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<CurlSlistObject*>(obj);
  if (self->slist != nullptr) {
    curl_slist_free_all(self->slist);
    self->slist = nullptr;
  }
  CurlSlist_Type.tp_free(obj);
}

void do_curlhttppost_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<CurlHttppostObject*>(obj);
  if (self->httppost != nullptr) {
    curl_formfree(self->httppost);
    self->httppost = nullptr;
  }
  Py_CLEAR(self->reflist);
  CurlHttppost_Type.tp_free(obj);
}

// ---------------------------------------------------------------------------
// _MimeDataCbOwner
// ---------------------------------------------------------------------------

int do_owner_traverse(PyObject* obj, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<MimeDataCbOwnerObject*>(obj);
  Py_VISIT(self->read);
  Py_VISIT(self->seek);
  Py_VISIT(self->free);
  Py_VISIT(self->userdata);
  return 0;
}

// Never calls the free callable and leaves libcurl's count alone.
int do_owner_clear(PyObject* obj) {
  auto* self = reinterpret_cast<MimeDataCbOwnerObject*>(obj);
  Py_CLEAR(self->read);
  Py_CLEAR(self->seek);
  Py_CLEAR(self->free);
  Py_CLEAR(self->userdata);
  return 0;
}

void do_owner_dealloc(PyObject* obj) {
  PyObject_GC_UnTrack(obj);
  Py_TRASHCAN_BEGIN(obj, do_owner_dealloc)
  do_owner_clear(obj);
  Py_TYPE(obj)->tp_free(obj);
  Py_TRASHCAN_END
}

}  // namespace

int util_curlslist_update(PyObject** field, curl_slist* list) {
  CurlSlistObject* holder = PyObject_New(CurlSlistObject, &CurlSlist_Type);
  if (holder == nullptr) return -1;
  holder->slist = list;
  PyObject* old = *field;
  *field = reinterpret_cast<PyObject*>(holder);
  Py_XDECREF(old);
  return 0;
}

// On success the holder owns the form and the caller's reference to
// `reflist`; on failure both stay with the caller.
int util_curlhttppost_update(CurlObject* self, curl_httppost* post, PyObject* reflist) {
  CurlHttppostObject* holder = PyObject_New(CurlHttppostObject, &CurlHttppost_Type);
  if (holder == nullptr) return -1;
  holder->httppost = post;
  holder->reflist = reflist;
  PyObject* old = self->httppost;
  self->httppost = reinterpret_cast<PyObject*>(holder);
  Py_XDECREF(old);
  return 0;
}

// Designated initializers leave every slot not named here zero, which is
// what the interpreter expects of a static type before PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject CurlSlist_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlSlist",
    .tp_basicsize = sizeof(CurlSlistObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlslist_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

PyTypeObject CurlHttppost_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlHttppost",
    .tp_basicsize = sizeof(CurlHttppostObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlhttppost_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

PyTypeObject MimeDataCbOwner_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex._MimeDataCbOwner",
    .tp_basicsize = sizeof(MimeDataCbOwnerObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_owner_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = mime_data_cb_owner_doc,
    .tp_traverse = do_owner_traverse,
    .tp_clear = do_owner_clear,
    .tp_alloc = PyType_GenericAlloc,
    .tp_free = PyObject_GC_Del,
};

#pragma GCC diagnostic pop
