// Small adapters over the interpreter's API: list-or-tuple access,
// attribute lookup through the per-type constant dictionaries, and socket
// numbers.
#include "pyutil.h"

int PyListOrTuple_Check(PyObject* v) {
  if (PyList_Check(v)) return 1;
  if (PyTuple_Check(v)) return 2;
  return 0;
}

Py_ssize_t PyListOrTuple_Size(PyObject* v, int which) {
  switch (which) {
    case 1:
      return PyList_Size(v);
    case 2:
      return PyTuple_Size(v);
    default:
      assert(0 && "not a list or tuple");
      Py_UNREACHABLE();
  }
}

PyObject* PyListOrTuple_GetItem(PyObject* v, Py_ssize_t i, int which) {
  switch (which) {
    case 1:
      return PyList_GetItem(v, i);
    case 2:
      return PyTuple_GetItem(v, i);
    default:
      assert(0 && "not a list or tuple");
      Py_UNREACHABLE();
  }
}

// Called after the generic lookup failed: instance attributes first, then
// the constants of the object's type.
PyObject* my_getattro(PyObject*, PyObject* name, PyObject* dict1, PyObject* dict2, PyMethodDef*) {
  PyObject* value = nullptr;
  for (PyObject* dict : {dict1, dict2}) {
    if (dict == nullptr) continue;
    int found = PyDict_GetItemRef(dict, name, &value);
    if (found < 0) return nullptr;
    if (found > 0) return value;
  }
  PyErr_Format(PyExc_AttributeError, "trying to obtain a non-existing attribute: %U", name);
  return nullptr;
}

int my_setattro(PyObject** dict, PyObject* name, PyObject* v) {
  if (*dict == nullptr) {
    *dict = PyDict_New();
    if (*dict == nullptr) return -1;
  }
  if (v != nullptr) return PyDict_SetItem(*dict, name, v);
  int rv = PyDict_DelItem(*dict, name);
  if (rv < 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_AttributeError, "trying to delete a non-existing attribute: %U", name);
  }
  return rv;
}

PyObject* PyLong_FromCurlSocket(curl_socket_t sockfd) { return PyLong_FromLong(sockfd); }

int PyLong_AsCurlSocket(PyObject* obj, curl_socket_t* sockfd) {
  assert(sockfd != nullptr);
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < -1 || value > 2147483647LL) {
    PyErr_SetString(PyExc_OverflowError, "socket value is out of range");
    return -1;
  }
  *sockfd = static_cast<curl_socket_t>(value);
  return 0;
}
