// CurlUrl: libcurl's URL parser. The object owns one CURLU handle; get, set
// and dup take the object's mutex for the libcurl call, so threads that
// share a CurlUrl see each call whole. None of these calls blocks or calls
// back into Python.
#include "url.h"

#include "globals.h"
#include "threadstate.h"

#include "docstrings.h"

#include <climits>
#include <cstring>

namespace {

CurlUrlObject* as_url(PyObject* op) { return reinterpret_cast<CurlUrlObject*>(op); }

// kelvex.error(code, libcurl's text for the code).
void set_url_error(CURLUcode code) { set_error_code_text(code, curl_url_strerror(code)); }

// libcurl's text of a part, owned by libcurl until curl_free.
struct CurlText {
  char* text = nullptr;
  CurlText() = default;
  CurlText(const CurlText&) = delete;
  CurlText& operator=(const CurlText&) = delete;
  ~CurlText() { curl_free(text); }
};

// A part given as str is encoded as UTF-8 (libcurl reads host names as
// UTF-8 for IDN); bytes go as they are. NUL bytes cannot reach libcurl.
const char* part_text(PyObject* value, Ref* holder) {
  if (PyUnicode_Check(value)) {
    *holder = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape"));
  } else if (PyBytes_Check(value)) {
    *holder = Ref::borrow(value);
  } else {
    PyErr_SetString(PyExc_TypeError, "URL parts must be str, bytes or None");
    return nullptr;
  }
  if (!*holder) return nullptr;
  const char* text = PyBytes_AS_STRING(holder->get());
  if (std::strlen(text) != static_cast<size_t>(PyBytes_GET_SIZE(holder->get()))) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte in URL part");
    return nullptr;
  }
  return text;
}

// libcurl's URL flags are an unsigned int: a negative or wider int is
// refused rather than wrapped into some other set of flags.
bool flags_in_range(long long flags) {
  if (flags < 0) {
    PyErr_SetString(PyExc_ValueError, "URL flags must be non-negative");
    return false;
  }
  if (static_cast<unsigned long long>(flags) > UINT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "URL flags out of range");
    return false;
  }
  return true;
}

int set_part(CurlUrlObject* self, int part, PyObject* value, unsigned flags) {
  Ref holder;
  const char* text = nullptr;
  if (value != Py_None) {
    text = part_text(value, &holder);
    if (text == nullptr) return -1;
  }
  CURLUcode rc;
  {
    MutexGuard guard(self->mutex);
    rc = curl_url_set(self->url, static_cast<CURLUPart>(part), text, flags);
  }
  if (rc != CURLUE_OK) {
    set_url_error(rc);
    return -1;
  }
  return 0;
}

PyObject* do_url_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  PyObject* url = Py_None;
  long long flags = 0;
  if (!parse_constructor<decl::url>(args, kwds, &url, &flags)) return nullptr;
  if (!flags_in_range(flags)) return nullptr;
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  CurlUrlObject* self = as_url(obj.get());
  self->url = curl_url();
  if (self->url == nullptr) return PyErr_NoMemory();
  if (url != Py_None &&
      set_part(self, CURLUPART_URL, url, static_cast<unsigned>(flags)) < 0)
    return nullptr;
  return obj.release();
}

void do_url_dealloc(PyObject* op) {
  CurlUrlObject* self = as_url(op);
  curl_url_cleanup(self->url);
  self->url = nullptr;
  Py_TYPE(op)->tp_free(op);
}

PyObject* do_url_get(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int part = 0;
  long long flags = 0;
  if (!parse_keywords<decl::url_get>(args, nargs, kwnames, &part, &flags)) return nullptr;
  if (!flags_in_range(flags)) return nullptr;
  CurlUrlObject* self = as_url(op);
  CurlText text;
  CURLUcode rc;
  {
    MutexGuard guard(self->mutex);
    rc = curl_url_get(self->url, static_cast<CURLUPart>(part), &text.text,
                      static_cast<unsigned>(flags));
  }
  if (rc != CURLUE_OK) {
    set_url_error(rc);
    return nullptr;
  }
  // URL_DECODE may give back any bytes; those that are not UTF-8 survive as
  // surrogates, which set() turns back into the same bytes.
  return PyUnicode_DecodeUTF8(text.text, static_cast<Py_ssize_t>(std::strlen(text.text)),
                              "surrogateescape");
}

PyObject* do_url_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int part = 0;
  PyObject* value = nullptr;
  long long flags = 0;
  if (!parse_keywords<decl::url_set>(args, nargs, kwnames, &part, &value, &flags))
    return nullptr;
  if (!flags_in_range(flags)) return nullptr;
  if (set_part(as_url(op), part, value, static_cast<unsigned>(flags)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* do_url_dup(PyObject* op, PyObject* /*ignored*/) {
  CurlUrlObject* self = as_url(op);
  PyTypeObject* type = Py_TYPE(op);
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  {
    MutexGuard guard(self->mutex);
    as_url(obj.get())->url = curl_url_dup(self->url);
  }
  if (as_url(obj.get())->url == nullptr) return PyErr_NoMemory();
  return obj.release();
}

// A CurlUrl holds no Python objects: its deep copy is its copy.
PyObject* do_url_deepcopy(PyObject* op, PyObject* /*memo*/) { return do_url_dup(op, nullptr); }

PyMethodDef curlurl_methods[] = {
    method_entry<decl::url_get>(do_url_get),
    method_entry<decl::url_set>(do_url_set),
    method_entry<decl::url_dup>(do_url_dup),
    method_entry<decl::url_copy>(do_url_dup),
    method_entry<decl::url_deepcopy>(do_url_deepcopy),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject CurlUrl_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlUrl",
    .tp_basicsize = sizeof(CurlUrlObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_url_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = doc_of<decl::url>(),
    .tp_methods = curlurl_methods,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_url_new,
    .tp_free = PyObject_Free,
};
#pragma GCC diagnostic pop
