// CurlMime and CurlMimePart. Documents cannot be built yet: both types exist
// so that the module exposes them, but neither can be instantiated, and the
// MIMEPOST option refuses every value.
#include "kelvex.h"

// Designated initializers leave the remaining slots zero, as intended.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject CurlMime_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Python wrapper for libcurl MIME API."),
};

PyTypeObject CurlMimePart_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvex.CurlMimePart",
    .tp_basicsize = sizeof(CurlMimePartObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("A MIME part belonging to a CurlMime object."),
};

#pragma GCC diagnostic pop

PyObject* do_curl_setopt_mimepost(CurlObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
  return nullptr;
}

// No document can be attached, so there are no callback owners to count.
void curlmime_duphandle_incref_data_cb_owners(CurlMimeObject*) {}
