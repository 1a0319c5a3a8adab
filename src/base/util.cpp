// What pyutil.h declares: the kelvex.error helpers, the option-range check,
// the per-type boilerplate and the conversion of a list of strings.
#include "pyutil.h"

#include "globals.h"

void set_error_text(const char* text) { PyErr_SetString(kx.ErrorObject, text); }

void set_error_curl_code(int code, const char* text) {
  const char* message = text[0] != '\0' ? text : curl_easy_strerror(static_cast<CURLcode>(code));
  Ref decoded = Ref::steal(PyText_FromString_Ignore(message));
  if (!decoded) return;
  Ref value = Ref::steal(Py_BuildValue("(iO)", code, decoded.get()));
  if (!value) return;
  PyErr_SetObject(kx.ErrorObject, value.get());
}

void set_error_code_text(long code, const char* text) {
  Ref value = Ref::steal(Py_BuildValue("(ls)", code, text));
  if (value) PyErr_SetObject(kx.ErrorObject, value.get());
}

void set_error_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (text) PyErr_SetObject(kx.ErrorObject, text.get());
}

void add_note_to_raised(const char* format, ...) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  va_list args;
  va_start(args, format);
  Ref note = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (note) {
    Ref done = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!done) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

bool option_in_range(int option, int last_option, int last_index) noexcept {
  return option >= 1 && option <= last_option && option % 10000 <= last_index;
}

PyObject* enter_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

SlistPtr text_items_to_slist(PyObject* sequence, int which, Py_ssize_t count,
                             const char* not_text) {
  SlistPtr list;
  const int rc = for_each_text_item(
      sequence, which, count, [not_text] { PyErr_SetString(PyExc_TypeError, not_text); },
      [&list](const char* text, Ref&) {
        // curl_slist_append copies the text; on failure it leaves the list
        // as it was, still ours to free.
        curl_slist* head = curl_slist_append(list.get(), text);
        if (head == nullptr) {
          PyErr_NoMemory();
          return -1;
        }
        if (!list) list.reset(head);
        return 0;
      });
  if (rc < 0) list.reset();
  return list;
}

curl_slist* kelvex_list_or_tuple_to_slist(int which, PyObject* sequence, Py_ssize_t count) {
  return text_items_to_slist(sequence, which, count,
                             "list items must be byte strings or Unicode strings with ASCII "
                             "code points only")
      .release();
}
