// Curl.header and Curl.headers: the response headers libcurl parsed itself,
// read through curl_easy_header and curl_easy_nextheader.
//
// Names and values are decoded as Latin-1, as HTTP reads header bytes:
// every byte maps to one character and nothing fails to decode.
#include "easy.h"

#include "access.h"
#include "docstrings.h"
#include "globals.h"

#include <cstring>

namespace {

PyObject* latin1(const char* text) {
  return PyUnicode_DecodeLatin1(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
}

// libcurl's header errors as a caller of a mapping that keeps repeats
// expects them: an absent name is a KeyError, an index or request past the
// end an IndexError, bits that name no origin a ValueError.
void set_header_error(CURLHcode code, PyObject* name) {
  switch (code) {
    case CURLHE_MISSING:
    case CURLHE_NOHEADERS:
      PyErr_SetObject(PyExc_KeyError, name);
      return;
    case CURLHE_BADINDEX:
      PyErr_SetString(PyExc_IndexError, "header index out of range");
      return;
    case CURLHE_NOREQUEST:
      PyErr_SetString(PyExc_IndexError, "request out of range");
      return;
    case CURLHE_BAD_ARGUMENT:
      PyErr_SetString(PyExc_ValueError, "invalid header origin or request");
      return;
    case CURLHE_OUT_OF_MEMORY:
      PyErr_NoMemory();
      return;
    default:
      set_error_code_text(code, "parsed headers are not available in this libcurl");
      return;
  }
}

constexpr unsigned kOrigins =
    CURLH_HEADER | CURLH_TRAILER | CURLH_CONNECT | CURLH_1XX | CURLH_PSEUDO;

// An origin is one or more of the H_* bits, as libcurl takes it.
bool origin_is_valid(long origin) {
  if (origin <= 0 || (origin & ~static_cast<long>(kOrigins)) != 0) {
    PyErr_SetString(PyExc_ValueError, "origin must be a combination of the H_* bits");
    return false;
  }
  return true;
}

PyObject* header_record(const curl_header* h, int request) {
  Ref name = Ref::steal(latin1(h->name));
  Ref value = Ref::steal(latin1(h->value));
  // libcurl keeps bits of its own above the H_* ones.
  Ref origin = Ref::steal(PyLong_FromUnsignedLong(h->origin & kOrigins));
  Ref number = Ref::steal(PyLong_FromLong(request));
  if (!name || !value || !origin || !number) return nullptr;
  PyObject* args[] = {nullptr, name.get(), value.get(), origin.get(), number.get()};
  return PyObject_Vectorcall(kx.curl_header_type, args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             nullptr);
}

// Appends to `list` the headers of request `request` (libcurl numbers the
// requests of a transfer from 0).
int append_request(CURL* handle, unsigned origin, int request, PyObject* list) {
  for (curl_header* h = curl_easy_nextheader(handle, origin, request, nullptr); h != nullptr;
       h = curl_easy_nextheader(handle, origin, request, h)) {
    Ref record = Ref::steal(header_record(h, request));
    if (!record || PyList_Append(list, record.get()) < 0) return -1;
  }
  return 0;
}

// The number of the last request whose headers libcurl keeps, or -1 when it
// keeps none. Any name serves the probe: a request libcurl knows answers
// "no such header" (or finds one); anything else ends the count, so that a
// libcurl built without its header interface cannot keep the loop going.
int last_request(CURL* handle) {
  curl_header* h = nullptr;
  auto known = [&](int request) {
    const CURLHcode rc = curl_easy_header(handle, "", 0, kOrigins, request, &h);
    return rc == CURLHE_OK || rc == CURLHE_MISSING;
  };
  if (!known(0)) return -1;
  int request = 0;
  while (known(request + 1)) ++request;
  return request;
}

}  // namespace

PyObject* do_curl_header(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* name = nullptr;
  Py_ssize_t index = 0;
  long origin = CURLH_HEADER;
  int request = -1;
  if (!parse_keywords<decl::curl_header>(args, nargs, kwnames, &name, &index, &origin,
                                         &request))
    return nullptr;
  if (!origin_is_valid(origin)) return nullptr;
  if (index < 0) {
    PyErr_SetString(PyExc_IndexError, "header index out of range");
    return nullptr;
  }
  // -1 is the last request; below it, as headers() says, nothing.
  if (request < -1) {
    PyErr_SetString(PyExc_IndexError, "request out of range");
    return nullptr;
  }
  Ref encoded = Ref::steal(PyUnicode_AsASCIIString(name));
  if (!encoded) return nullptr;
  const char* text = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(text) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
    PyErr_SetString(PyExc_ValueError, "embedded null character in header name");
    return nullptr;
  }
  // libcurl's header calls run no callbacks and do not block; inside the
  // handle's own callbacks they read what has arrived so far.
  CurlAccess access(self, CHECK_HANDLE, "header", Nesting::allow);
  if (!access) return nullptr;
  curl_header* h = nullptr;
  CURLHcode rc = curl_easy_header(access.handle(), text, static_cast<size_t>(index),
                                  static_cast<unsigned>(origin), request, &h);
  if (rc != CURLHE_OK) {
    set_header_error(rc, name);
    return nullptr;
  }
  return latin1(h->value);
}

PyObject* do_curl_headers(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  long origin = CURLH_HEADER;
  PyObject* request_obj = nullptr;
  if (!parse_keywords<decl::curl_headers>(args, nargs, kwnames, &origin, &request_obj))
    return nullptr;
  if (!origin_is_valid(origin)) return nullptr;
  // None asks for every request of the transfer, in order.
  const bool every = request_obj == Py_None;
  int request = -1;
  if (request_obj != nullptr && !every) {
    request = PyLong_AsInt(request_obj);
    if (request == -1 && PyErr_Occurred()) return nullptr;
  }
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "headers", Nesting::allow);
  if (!access) return nullptr;
  const auto bits = static_cast<unsigned>(origin);
  const int last = last_request(access.handle());
  if (request < -1 || (last >= 0 && request > last)) {
    PyErr_SetString(PyExc_IndexError, "request out of range");
    return nullptr;
  }
  // No headers kept: none for any request (and no request number, the
  // largest int among them, to count up to).
  if (last < 0) return list.release();
  const int first = every ? 0 : request < 0 ? last : request;
  const int end = every || request < 0 ? last : request;
  for (int r = first; r >= 0 && r <= end; ++r) {
    if (append_request(access.handle(), bits, r, list.get()) < 0) return nullptr;
  }
  return list.release();
}
