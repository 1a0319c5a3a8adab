#include "args.h"

bool no_keywords(const char* name, PyObject* kwnames) {
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
  return false;
}
