// What the CurlMime and CurlMimePart files (mime.cpp, mimepart.cpp) share:
// the owner cast, argument checks, error reports, owner lists and the
// invalidation of wrappers (the records and their casts are in records.h,
// the content-change marker in access.h, the part setters that the
// document's builders call in mimepart.h).
#ifndef KELVEX_MIMESHARED_H
#define KELVEX_MIMESHARED_H

#include "holders.h"
#include "pyutil.h"
#include "records.h"

inline MimeDataCbOwnerObject* as_owner(PyObject* o) {
  return reinterpret_cast<MimeDataCbOwnerObject*>(o);
}

inline bool is_owner(PyObject* o) { return PyObject_TypeCheck(o, &MimeDataCbOwner_Type); }

// An argument that is absent or None counts as not given.
inline PyObject* given(PyObject* o) { return o == Py_None ? nullptr : o; }

// ---------------------------------------------------------------------------
// Errors and argument checks (mime.cpp)
// ---------------------------------------------------------------------------

// libcurl's MIME calls never write the easy handle's error buffer, which
// holds the text of the handle's last transfer; the message is therefore
// always libcurl's text for the code.
void curlmime_raise_curl_error(CURLcode code);

int curlmime_check_text_arg(PyObject* value, const char* label);

inline constexpr const char* kDataTypeError =
    "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object";

// Calls `use(start, length)` with the bytes of a data value (buffer object,
// bytes, or str encoded to ASCII); -1 with an exception set when the value
// is refused.
template <typename Use>
int with_data_bytes(PyObject* value, Use use) {
  if (PyObject_CheckBuffer(value)) {
    BufferGuard view;
    if (view.acquire(value, PyBUF_SIMPLE) < 0) return -1;
    return use(static_cast<const char*>(view->buf), static_cast<size_t>(view->len));
  }
  if (PyText_Check(value)) {
    char* start = nullptr;
    Py_ssize_t length = 0;
    Ref encoded;
    if (PyText_AsStringAndSize(value, &start, &length, &encoded) < 0) return -1;
    return use(start, static_cast<size_t>(length));
  }
  PyErr_SetString(PyExc_TypeError, kDataTypeError);
  return -1;
}

// None and empty sequences give no list (null without an exception set).
int curlmime_headers_to_slist(PyObject* value, SlistPtr* out);

// ---------------------------------------------------------------------------
// Owner lists and invalidation (mime.cpp)
// ---------------------------------------------------------------------------

int curlmime_owner_list_remove_ptr(PyObject* list, PyObject* owner);

// What becomes of a document when it is invalidated. A nested document that
// is closed while libcurl still keeps it inside its parent keeps its owner
// lists: they say which callback owners that libcurl tree holds, which a
// later duphandle must count.
enum class Invalidation { full, keep_libcurl_lists };

void curlmime_invalidate_wrappers(CurlMimeObject* self, Invalidation how);


#endif  // KELVEX_MIMESHARED_H
