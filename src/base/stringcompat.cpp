// Text conversion under the module's rule: values handed to libcurl are
// bytes, or str holding ASCII code points only.
#include "pyutil.h"

int PyText_Check(PyObject* o) { return PyUnicode_Check(o) || PyBytes_Check(o); }

int PyText_AsStringAndSize(PyObject* obj, char** buffer, Py_ssize_t* len, Ref* encoded) {
  assert(PyText_Check(obj));
  encoded->reset();
  PyObject* source = obj;
  if (PyUnicode_Check(obj)) {
    Ref ascii = Ref::steal(PyUnicode_AsEncodedString(obj, "ascii", "strict"));
    if (!ascii) return -1;
    *encoded = std::move(ascii);
    source = encoded->get();
  }
  // Without a length the caller needs a C string, so an embedded NUL is
  // refused (PyBytes_AsStringAndSize raises ValueError for it).
  if (PyBytes_AsStringAndSize(source, buffer, len) < 0) {
    encoded->reset();
    return -1;
  }
  return 0;
}

char* PyText_AsString_NoNUL(PyObject* obj, Ref* encoded) {
  char* buffer = nullptr;
  if (PyText_AsStringAndSize(obj, &buffer, nullptr, encoded) < 0) return nullptr;
  return buffer;
}

PyObject* PyText_FromString_Ignore(const char* string) {
  return PyUnicode_DecodeUTF8(string, static_cast<Py_ssize_t>(std::strlen(string)), "replace");
}
