// The Curl object: what its files (easy.cpp, easyperform.cpp, easyopt.cpp,
// easyinfo.cpp, easyws.cpp, easyheader.cpp) offer one another; its record
// is in records.h.
#ifndef KELVEX_EASY_H
#define KELVEX_EASY_H

#include "access.h"
#include "pyutil.h"
#include "records.h"

// Lifecycle (easy.cpp).
// The module's defaults on `handle`, the Curl's new handle (or its own,
// reset under its claim).
int util_curl_init(CurlObject* self, CURL* handle);
void util_curl_close(CurlObject* self);
void util_curl_xdecref(CurlObject* self, unsigned groups, CURL* handle);

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
// For a handle libcurl duplicated from source's (duphandle, a pushed HTTP/2
// stream): the copy, whose handle is `handle`, takes over the Python side of
// the source; 0, or -1 with an exception set.
int util_curl_adopt_copy(CurlObject* source, CurlObject* copy, CURL* handle);
// Undoes util_curl_adopt_copy for a copy libcurl keeps and frees itself (a
// refused push): its handle points at the source again and the copy lets
// go of it, so the copy can go while the handle lives on. `handle` is the
// one libcurl handed over.
void util_curl_give_back(CurlObject* source, CurlObject* copy, CURL* handle);
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


#endif  // KELVEX_EASY_H
