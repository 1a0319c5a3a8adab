// The CurlMimePart object: one part of a CurlMime document (mimepart.cpp); its
// record is in records.h, and what the MIME files share in mimeshared.h.
#ifndef KELVEX_MIMEPART_H
#define KELVEX_MIMEPART_H

#include "records.h"

// ---------------------------------------------------------------------------
// The part setters the document's builders call (mimepart.cpp)
// ---------------------------------------------------------------------------

using TextSetterFn = CURLcode (*)(curl_mimepart*, const char*);

struct TextSetter {
  const char* name;
  TextSetterFn call;
  bool replaces_content;
};

inline constexpr TextSetter kTextSetters[] = {
    {"name", curl_mime_name, false},
    {"filedata", curl_mime_filedata, true},
    {"filename", curl_mime_filename, false},
    {"type", curl_mime_type, false},
    {"encoder", curl_mime_encoder, false},
};
enum TextSetterIndex : std::size_t { kName, kFiledata, kFilename, kType, kEncoder };

PyObject* util_mimepart_set_text(CurlMimePartObject* self, const TextSetter& setter,
                                 PyObject* value);

template <std::size_t I>
PyObject* do_mimepart_set_text(PyObject* self, PyObject* value) {
  return util_mimepart_set_text(as_part(self), kTextSetters[I], value);
}

PyObject* do_mimepart_data(PyObject* obj, PyObject* value);
PyObject* do_mimepart_headers(PyObject* obj, PyObject* value);
PyObject* do_mimepart_subparts(PyObject* obj, PyObject* value);

#endif  // KELVEX_MIMEPART_H
