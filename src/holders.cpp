// The holder types: a libcurl string list or legacy form that one handle,
// or a duplicate and its source together, point libcurl at, freed with the
// last of them.
#include "holders.h"

#include "curl.h"

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

#pragma GCC diagnostic pop
