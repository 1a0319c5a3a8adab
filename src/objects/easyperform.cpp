// Transfers run on the calling thread: perform and its body-collecting
// variants, raw send/receive on CONNECT_ONLY connections, and pause/unpause.
// Every libcurl call here may block or call back, so each runs with the
// interpreter detached into the slot its callbacks look up.
#include "easy.h"

#include "access.h"
#include "callbacks.h"
#include "docstrings.h"
#include "globals.h"

#include <cerrno>

namespace {

// After re-attaching: an exception left pending by a callback or a signal
// handler outranks whatever libcurl returned.
int perform_easy_send(CurlObject* self, CurlAccess& access, const void* data,
                      std::size_t length, std::size_t* sent) {
  ErrorBufferScope error(self);
  CURLcode res;
  {
    auto call = access.detach();
    res = curl_easy_send(access.handle(), data, length, sent);
  }
  if (check_pending_python_exception_or_signal() < 0) return -1;
  return check_easy_recv_send_result(self, res);
}

int perform_easy_recv(CurlObject* self, CurlAccess& access, void* buffer, std::size_t length,
                      std::size_t* received) {
  ErrorBufferScope error(self);
  CURLcode res;
  {
    auto call = access.detach();
    res = curl_easy_recv(access.handle(), buffer, length, received);
  }
  if (check_pending_python_exception_or_signal() < 0) return -1;
  return check_easy_recv_send_result(self, res);
}

PyObject* do_curl_pause_internal(CurlObject* self, int bitmask, const char* name) {
  // A callback may pause its own transfer: inside one, the call runs on the
  // slot that callback entered through (the multi's when the handle is in
  // one), since libcurl may deliver buffered data from inside
  // curl_easy_pause and those callbacks must find it. libcurl pauses a
  // running transfer only from the thread that drives it; from any other
  // thread the handle is busy.
  CurlAccess access(self, CHECK_HANDLE, name, Nesting::allow);
  if (!access) return nullptr;
  CURLcode res;
  {
    auto call = access.detach();
    res = curl_easy_pause(access.handle(), bitmask);
  }
  if (check_pending_python_exception_or_signal() < 0) return nullptr;
  if (res != CURLE_OK) {
    set_error_code_text(res, "pause/unpause failed");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The transfer itself, under the caller's guard.
PyObject* perform_claimed(CurlObject* self, CurlAccess& access) {
  if (self->mime_closed) {
    set_error_format(kMimeClosed, "perform");
    return nullptr;
  }
  // libcurl empties the buffer when the transfer starts, but not when it
  // fails before that (a handle that belongs to a multi).
  self->error[0] = '\0';
  curl_set_progress_calls(self, access.handle(), true);
  CallbackErrorCollector callback_errors;
  CURLcode res;
  {
    auto call = access.detach();
    res = curl_easy_perform(access.handle());
  }
  if (check_pending_python_exception_or_signal() < 0) return nullptr;
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    callback_errors.attach_cause();
    // libcurl refuses to run a handle that a multi holds; the guard keeps
    // the membership still while it is read.
    if (res == CURLE_FAILED_INIT && self->multi_stack != nullptr) {
      add_note_to_raised("this Curl is in %R: take it out with remove_handle() before "
                         "perform(), or let the multi run the transfer",
                         reinterpret_cast<PyObject*>(self->multi_stack));
    }
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

int check_easy_recv_send_result(CurlObject* self, CURLcode res) {
  if (res == CURLE_OK) return 0;
  if (res == CURLE_AGAIN) {
    errno = EAGAIN;
    PyErr_SetFromErrno(PyExc_BlockingIOError);
    return -1;
  }
  create_and_set_error_object(self, res);
  return -1;
}

int recv_into_size(const Py_buffer& buffer, Py_ssize_t* wanted, const char* name) {
  if (*wanted < 0) {
    PyErr_Format(PyExc_ValueError, "negative buffersize in %s", name);
    return -1;
  }
  if (*wanted == 0) {
    *wanted = buffer.len;
  } else if (*wanted > buffer.len) {
    PyErr_SetString(PyExc_ValueError, "buffer too small for requested bytes");
    return -1;
  }
  return 0;
}

PyObject* do_curl_perform(CurlObject* self, PyObject* /*ignored*/) {
  CurlAccess access(self, CHECK_HANDLE, "perform");
  if (!access) return nullptr;
  if (refuse_while_pushing(self, "perform") < 0) return nullptr;
  return perform_claimed(self, access);
}

PyObject* do_curl_perform_rb(CurlObject* self, PyObject* /*ignored*/) {
  Ref body = Ref::steal(PyObject_CallNoArgs(kx.bytesio));
  if (!body) return nullptr;
  {
    // One claim from installing the body's writer to putting the handle's
    // own back, so that no other thread can swap the writer in between.
    // The refusals name setopt, which installs the writer.
    CurlAccess access(self, CHECK_HANDLE, "setopt");
    if (!access) return nullptr;
    if (refuse_while_pushing(self, "perform_rb") < 0) return nullptr;
    Ref own_writer = Ref::borrow(curl_callable<CURLOPT_WRITEFUNCTION>(self));
    const int own_use_memoryview =
        curl_uses_memoryview(self, callback_row(CURLOPT_WRITEFUNCTION));
    Ref installed = Ref::steal(curl_setopt_filelike_claimed(access, CURLOPT_WRITEDATA, body.get()));
    if (!installed) return nullptr;
    Ref done = Ref::steal(perform_claimed(self, access));
    // Whatever the outcome, later transfers write where they did before:
    // the buffer is unreachable once this call returns.
    restore_write_callable(access, std::move(own_writer), own_use_memoryview);
    if (!done) return nullptr;
  }
  return PyObject_CallMethodNoArgs(body.get(), kx.str_getvalue);
}

PyObject* do_curl_perform_rs(CurlObject* self, PyObject* /*ignored*/) {
  Ref body = Ref::steal(do_curl_perform_rb(self, nullptr));
  if (!body) return nullptr;
  return PyUnicode_FromEncodedObject(body.get(), "utf-8", "strict");
}

PyObject* do_curl_send(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  BufferGuard data;
  if (!parse<decl::curl_send>(args, nargs, data.fill())) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "send");
  if (!access) return nullptr;
  std::size_t sent = 0;
  if (perform_easy_send(self, access, data->buf, static_cast<std::size_t>(data->len), &sent) < 0)
    return nullptr;
  return PyLong_FromSize_t(sent);
}

PyObject* do_curl_recv(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  Py_ssize_t wanted = 0;
  if (!parse<decl::curl_recv>(args, nargs, &wanted)) return nullptr;
  if (wanted < 0) {
    PyErr_SetString(PyExc_ValueError, "negative buffersize in recv");
    return nullptr;
  }
  CurlAccess access(self, CHECK_HANDLE, "recv");
  if (!access) return nullptr;
  if (wanted == 0) return PyBytes_FromStringAndSize(nullptr, 0);

  Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, wanted));
  if (!data) return nullptr;
  std::size_t received = 0;
  if (perform_easy_recv(self, access, PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(wanted),
                        &received) < 0)
    return nullptr;
  if (received == static_cast<std::size_t>(wanted)) return data.release();
  return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()),
                                   static_cast<Py_ssize_t>(received));
}

PyObject* do_curl_recv_into(CurlObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BufferGuard buffer;
  Py_ssize_t wanted = 0;
  if (!parse_keywords<decl::curl_recv_into>(args, nargs, kwnames, buffer.fill(), &wanted))
    return nullptr;
  if (recv_into_size(*buffer, &wanted, "recv_into") < 0) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "recv_into");
  if (!access) return nullptr;
  if (wanted == 0) return PyLong_FromLong(0);

  std::size_t received = 0;
  if (perform_easy_recv(self, access, buffer->buf, static_cast<std::size_t>(wanted), &received) < 0)
    return nullptr;
  return PyLong_FromSize_t(received);
}

PyObject* do_curl_pause(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  int bitmask = CURLPAUSE_ALL;
  if (!parse<decl::curl_pause>(args, nargs, &bitmask)) return nullptr;
  return do_curl_pause_internal(self, bitmask, "pause");
}

PyObject* do_curl_unpause(CurlObject* self, PyObject* /*ignored*/) {
  return do_curl_pause_internal(self, CURLPAUSE_CONT, "unpause");
}
