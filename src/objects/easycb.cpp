// libcurl's data-path trampolines of the easy handle (body, headers, upload,
// seek and rewind). libcurl calls every trampoline with the interpreter
// detached, on the thread that drives the transfer, and with the Curl object
// as user data; the other groups live beside this file (easycb*.cpp).
#include "callbacks.h"

#include "access.h"
#include "easy.h"
#include "globals.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Releasing the view tells Python code that the memory behind it is gone;
// whatever the callable raised must survive the release() call.
void release_view(PyObject* view) {
  PendingExceptionSaver pending;
  Ref result = Ref::steal(PyObject_CallMethodNoArgs(view, kx.str_release));
}

// The common body of write_callback, header_callback and
// interleave_callback, by the row of their option.
size_t util_write_callback(std::size_t row, char* ptr, size_t size, size_t nmemb,
                           void* userdata) {
  constexpr size_t failure = static_cast<size_t>(callback_failure(CURLOPT_WRITEFUNCTION));
  static_assert(callback_failure(CURLOPT_HEADERFUNCTION) == failure &&
                callback_failure(CURLOPT_INTERLEAVEFUNCTION) == failure);
  auto* self = static_cast<CurlObject*>(userdata);
  CallbackEntry frame(self, row, "util_write_callback failed to acquire thread");
  PyObject* const callable = frame.callable();
  if (!frame.ready() || callable == nullptr || size == 0 || nmemb == 0) return failure;

  size_t total;
  if (!checked_size(size, nmemb, &total)) {
    set_error_text("integer overflow in write callback");
    return callback_failed(failure);
  }

  const bool use_view = curl_uses_memoryview(self, row);
  const auto length = static_cast<Py_ssize_t>(total);
  Ref data = Ref::steal(use_view ? PyMemoryView_FromMemory(ptr, length, PyBUF_READ)
                                 : PyBytes_FromStringAndSize(ptr, length));
  if (!data) return callback_failed(failure);

  Ref result;
  if (row == callback_row(CURLOPT_WRITEFUNCTION)) {
    const int saved = self->in_write_callback;
    self->in_write_callback = 1;
    result = call_callable(callable, data.get());
    self->in_write_callback = saved;
  } else {
    result = call_callable(callable, data.get());
  }
  // A view that only we still hold goes when our reference does, which
  // releases it just as release() would, without the method call per chunk.
  if (use_view && Py_REFCNT(data.get()) > 1) release_view(data.get());

  if (!result) return callback_failed(failure);
  if (result.get() == Py_None) return total;
  if (PyLong_Check(result.get())) {
    // Any count but the chunk's length fails the transfer in libcurl, and
    // CURL_WRITEFUNC_PAUSE pauses it; an int beyond a long leaves its
    // OverflowError pending for perform() and fails the write.
    return static_cast<size_t>(PyLong_AsLong(result.get()));
  }
  set_error_text("write callback must return int or None");
  return callback_failed(failure);
}

// Turns the read callable's result into libcurl's answer; -1 with an
// exception set when the result is refused.
long read_result_to_count(PyObject* result, char* buffer, Py_ssize_t wanted) {
  if (PyUnicode_Check(result)) {
    Ref encoded = Ref::steal(PyUnicode_AsASCIIString(result));
    if (!encoded) return -1;
    const Py_ssize_t len = PyBytes_GET_SIZE(encoded.get());
    if (len > wanted) {
      set_error_format(
                   "invalid return value for read callback (%zd bytes returned after encoding "
                   "to ascii when at most %zd bytes were wanted)",
                   len, wanted);
      return -1;
    }
    std::memcpy(buffer, PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(len));
    return static_cast<long>(len);
  }
  if (PyObject_CheckBuffer(result)) {
    BufferGuard view;
    if (view.acquire(result, PyBUF_SIMPLE) < 0) return -1;
    if (view->len > wanted) {
      set_error_format(
                   "invalid return value for read callback (%zd bytes returned when at most "
                   "%zd bytes were wanted)",
                   view->len, wanted);
      return -1;
    }
    if (view->len > 0) std::memcpy(buffer, view->buf, static_cast<size_t>(view->len));
    return static_cast<long>(view->len);
  }
  if (PyLong_Check(result)) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(result, &overflow);
    if (overflow == 0 && (value == CURL_READFUNC_ABORT || value == CURL_READFUNC_PAUSE)) {
      return value;
    }
  }
  set_error_text(
      "read callback must return an object supporting the buffer protocol (e.g. a byte "
      "string) or an ASCII-only Unicode string");
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Seek callables (the handle's and a MIME part's)
// ---------------------------------------------------------------------------

int call_seek(PyObject* callable, PyObject* userdata, curl_off_t offset, int origin,
              const SeekTexts& texts, int failure) {
  Ref py_offset = Ref::steal(PyLong_FromLongLong(offset));
  Ref py_origin = Ref::steal(PyLong_FromLong(origin));
  if (!py_offset || !py_origin) return callback_failed(failure);
  Ref result = userdata != nullptr
                   ? call_callable(callable, userdata, py_offset.get(), py_origin.get())
                   : call_callable(callable, py_offset.get(), py_origin.get());
  if (!result) return callback_failed(failure);
  return seek_result_to_code(result.get(), texts.range_format, texts.type_text, failure);
}

int seek_result_to_code(PyObject* result, const char* range_format, const char* type_text,
                        int failure) {
  int value = 0;
  switch (small_int_result(result, &value)) {
    case SmallResult::ok:
      return value;
    case SmallResult::out_of_range:
      set_error_format(range_format, value);
      break;
    case SmallResult::not_int:
      set_error_text(type_text);
      break;
    case SmallResult::error:
      break;
  }
  return callback_failed(failure);
}

// ---------------------------------------------------------------------------
// Integer results of the callables of later trampolines
// ---------------------------------------------------------------------------

int callback_return_value_to_int(PyObject* result, const char* name, int* out) {
  if (result == nullptr) return -1;
  if (PyLong_Check(result)) {
    // Refused rather than cut to 32 bits: 2**32 must not become 0, which
    // several of libcurl's answer sets read as "fine".
    const int value = PyLong_AsInt(result);
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
  }
  // The line goes straight to fd 2, not through sys.stderr: it reports a
  // contract breach without raising anything in Python.
  Ref text = Ref::steal(PyObject_ASCII(result));
  if (!text) return -1;
  const char* repr = PyUnicode_AsUTF8(text.get());
  if (repr == nullptr) return -1;
  dprintf(STDERR_FILENO, "%s callback returned %s which is not an integer\n", name, repr);
  return -1;
}

// ---------------------------------------------------------------------------
// Data path
// ---------------------------------------------------------------------------

size_t write_callback(char* ptr, size_t size, size_t nmemb, void* userdata) {
  return util_write_callback(callback_row(CURLOPT_WRITEFUNCTION), ptr, size, nmemb, userdata);
}

size_t header_callback(char* ptr, size_t size, size_t nmemb, void* userdata) {
  return util_write_callback(callback_row(CURLOPT_HEADERFUNCTION), ptr, size, nmemb, userdata);
}

size_t interleave_callback(char* ptr, size_t size, size_t nmemb, void* userdata) {
  return util_write_callback(callback_row(CURLOPT_INTERLEAVEFUNCTION), ptr, size, nmemb, userdata);
}

size_t read_callback(char* buffer, size_t size, size_t nitems, void* userdata) {
  constexpr size_t failure = static_cast<size_t>(callback_failure(CURLOPT_READFUNCTION));
  CallbackEntry frame(static_cast<CurlObject*>(userdata), callback_row(CURLOPT_READFUNCTION),
                      "read_callback failed to acquire thread");
  PyObject* const callable = frame.callable();
  if (!frame.ready() || callable == nullptr || size == 0 || nitems == 0) return failure;

  size_t total;
  if (!checked_size(size, nitems, &total)) {
    set_error_text("integer overflow in read callback");
    return callback_failed(failure);
  }
  const auto wanted = static_cast<Py_ssize_t>(total);
  Ref result = Ref::steal(call_with_int(callable, wanted));
  if (!result) return callback_failed(failure);
  const long count = read_result_to_count(result.get(), buffer, wanted);
  if (count < 0) return callback_failed(failure);
  return static_cast<size_t>(count);
}

int seek_callback(void* userdata, curl_off_t offset, int origin) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_SEEKFUNCTION));
  static constexpr SeekTexts kTexts = {
      "invalid return value for seek callback %d not in (0, 1, 2)",
      "seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), 2 "
      "(CURL_SEEKFUNC_CANTSEEK) or None",
  };
  CallbackEntry frame(static_cast<CurlObject*>(userdata), callback_row(CURLOPT_SEEKFUNCTION),
                      "seek_callback failed to acquire thread");
  if (!frame.ready() || frame.callable() == nullptr) return failure;
  return call_seek(frame.callable(), nullptr, offset, origin, kTexts, failure);
}

curlioerr ioctl_callback(CURL* /*handle*/, int cmd, void* userdata) {
  constexpr auto failure = static_cast<curlioerr>(callback_failure(CURLOPT_IOCTLFUNCTION));
  CallbackEntry frame(static_cast<CurlObject*>(userdata), callback_row(CURLOPT_IOCTLFUNCTION),
                      "ioctl_callback failed to acquire thread");
  if (!frame.ready() || frame.callable() == nullptr) return failure;

  Ref result = Ref::steal(call_with_int(frame.callable(), cmd));
  if (!result) return callback_failed(failure);
  int value = 0;
  switch (small_int_result(result.get(), &value)) {
    case SmallResult::ok:
      return static_cast<curlioerr>(value);
    case SmallResult::out_of_range:
      set_error_text("ioctl callback returned invalid value");
      break;
    case SmallResult::not_int:
      return failure;
    case SmallResult::error:
      break;
  }
  return callback_failed(failure);
}
