// The Curl object: what its files (easy.cpp, easyperform.cpp,
// easyopt.cpp, easyinfo.cpp, easyws.cpp) offer one another; its
// record is in records.h.
#ifndef KELVEX_EASY_H
#define KELVEX_EASY_H

#include "access.h"
#include "callbackoptions.h"
#include "pyutil.h"
#include "records.h"

// libcurl's progress calls on or off for the transfer about to start,
// with a call to libcurl only when that changes them. Every transfer
// outside an event core needs them on: the signal checks and the progress
// callables ride on them. `handle` is the one the caller's claim gave.
inline void curl_set_progress_calls(CurlObject* self, CURL* handle, bool on) {
  if (self->progress_calls_off == !on) return;
  (void)curl_easy_setopt(handle, CURLOPT_NOPROGRESS, on ? 0L : 1L);
  self->progress_calls_off = !on;
}

// The callable of a callable option, by the option: its place in the
// record is fixed at compile time.
template <CURLoption kOption>
inline PyObject*& curl_callable(CurlObject* self) {
  return self->callables[callback_row(kOption)];
}
template <CURLoption kOption>
inline PyObject* curl_callable(const CurlObject* self) {
  return self->callables[callback_row(kOption)];
}
inline bool curl_uses_memoryview(const CurlObject* self, std::size_t row) {
  return ((self->memoryview_rows >> row) & 1u) != 0;
}
inline void curl_set_memoryview(CurlObject* self, std::size_t row, bool on) {
  const std::uint32_t bit = std::uint32_t{1} << row;
  self->memoryview_rows = on ? self->memoryview_rows | bit : self->memoryview_rows & ~bit;
}

enum ReleaseGroups : unsigned {
  RELEASE_DICT = 1u << 0,
  RELEASE_MULTI = 1u << 1,
  RELEASE_CALLBACKS = 1u << 2,
  RELEASE_POSTFIELDS = 1u << 3,
  RELEASE_SHARE = 1u << 4,
  RELEASE_HTTPPOST = 1u << 5,
  RELEASE_MIME = 1u << 6,
  RELEASE_CA_CERTS = 1u << 7,
  RELEASE_SLISTS = 1u << 8,
  RELEASE_EASY = RELEASE_CALLBACKS | RELEASE_POSTFIELDS | RELEASE_HTTPPOST | RELEASE_MIME |
                 RELEASE_CA_CERTS | RELEASE_SLISTS,
  RELEASE_ALL = RELEASE_EASY | RELEASE_DICT | RELEASE_MULTI | RELEASE_SHARE,
};

// Lifecycle (easy.cpp).
// The module's defaults on `handle`, the Curl's new handle (or its own,
// reset under its claim).
int util_curl_init(CurlObject* self, CURL* handle);
void util_curl_close(CurlObject* self);
void util_curl_xdecref(CurlObject* self, unsigned groups, CURL* handle);
// For a handle libcurl duplicated from source's (duphandle, a pushed HTTP/2
// stream): the copy, whose handle is `handle`, takes over the Python side of
// the source; 0, or -1 with an exception set.
int util_curl_adopt_copy(CurlObject* source, CurlObject* copy, CURL* handle);
// The handle of a pushed stream belongs to libcurl until the push callable
// has answered: what would run it, end it or hand it to a multi is refused
// meanwhile. 0, or -1 with kelvex.error set; read under the Curl's section.
int refuse_while_pushing(const CurlObject* self, const char* name);
// Undoes util_curl_adopt_copy for a copy libcurl keeps and frees itself (a
// refused push): its handle points at the source again and the copy lets
// go of it, so the copy can go while the handle lives on. `handle` is the
// one libcurl handed over.
void util_curl_give_back(CurlObject* source, CurlObject* copy, CURL* handle);

// Transfers (easyperform.cpp).
PyObject* do_curl_perform(CurlObject* self, PyObject* ignored);
PyObject* do_curl_perform_rb(CurlObject* self, PyObject* ignored);
PyObject* do_curl_perform_rs(CurlObject* self, PyObject* ignored);
PyObject* do_curl_send(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_recv(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_recv_into(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* do_curl_pause(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_unpause(CurlObject* self, PyObject* ignored);
int check_easy_recv_send_result(CurlObject* self, CURLcode res);
// The byte count of recv_into and ws_recv_into: 0 means the whole buffer;
// a negative count or one beyond the buffer raises ValueError.
int recv_into_size(const Py_buffer& buffer, Py_ssize_t* wanted, const char* name);

// Options (easyopt.cpp).
PyObject* do_curl_setopt(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* do_curl_unsetopt(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_setopt_string(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_set_ca_certs(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
// WRITEDATA, READDATA or HEADERDATA given a file-like object; the caller
// holds the handle (CurlAccess).
PyObject* curl_setopt_filelike_claimed(const CurlAccess& access, int option, PyObject* obj);
// Puts back the write callable (null: libcurl's standard output) that
// perform_rb took aside; the caller holds the handle.
void restore_write_callable(const CurlAccess& access, Ref previous, int use_memoryview);
// Points the handle's libcurl write function back at what its options
// describe: the write trampoline when it has a callable (or file object),
// else libcurl's default of standard output. For whatever wrote the body
// elsewhere meanwhile (an event core's collector, which a duplicate made
// during the transfer copies too); the caller holds the slot that serves
// the handle, and `handle` is the one that claim gave.
void curl_restore_write_target(CurlObject* self, CURL* handle);
curl_slist* kelvex_list_or_tuple_to_slist(int which, PyObject* sequence, Py_ssize_t count);

// WebSocket frames (easyws.cpp).
PyObject* do_curl_ws_send(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* do_curl_ws_recv(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_ws_recv_into(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* do_curl_ws_meta(CurlObject* self, PyObject* ignored);
PyObject* do_curl_ws_close(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

// Parsed headers (easyheader.cpp).
PyObject* do_curl_header(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* do_curl_headers(CurlObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// Information (easyinfo.cpp).
PyObject* do_curl_getinfo(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_getinfo_raw(CurlObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* do_curl_errstr(CurlObject* self, PyObject* ignored);
PyObject* do_curl_errstr_raw(CurlObject* self, PyObject* ignored);

// kelvex.error (code, text) for a failed libcurl call of this handle: the
// text of its error buffer, or libcurl's text for the code.
inline void create_and_set_error_object(CurlObject* self, int code) {
  self->error[sizeof(self->error) - 1] = '\0';
  set_error_curl_code(code, self->error);
}

// libcurl writes the error buffer on a handle's first failure after a
// transfer starts and never empties it besides, so text found there after a
// failed call may be an earlier call's. Around one call that is not a
// transfer: the buffer reads empty unless this call wrote it (a failure then
// takes libcurl's text for its code), and what was there before comes back
// when it did not, so errstr() keeps giving the last transfer's text.
class ErrorBufferScope {
 public:
  explicit ErrorBufferScope(CurlObject* self) noexcept : error_(self->error), saved_(self->error[0]) {
    error_[0] = '\0';
  }
  ErrorBufferScope(const ErrorBufferScope&) = delete;
  ErrorBufferScope& operator=(const ErrorBufferScope&) = delete;
  ~ErrorBufferScope() {
    if (error_[0] == '\0') error_[0] = saved_;
  }

 private:
  char* error_;
  char saved_;
};

// The refusal of a transfer while `mime_closed` is set; %s is the method.
inline constexpr char kMimeClosed[] =
    "cannot invoke %s() - the CurlMime document set as MIMEPOST was closed; keep it open "
    "until the transfer ends, or set MIMEPOST (or another body) again";

#endif  // KELVEX_EASY_H
