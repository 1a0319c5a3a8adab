// WebSocket frames on an easy handle. Two settings: after a perform with
// CONNECT_ONLY = 2 the connection is the caller's and every call is
// non-blocking; during a transfer libcurl hands frames to WRITEFUNCTION, and
// that callable may answer on the same connection with ws_send / ws_close.
#include "easy.h"

#include "access.h"
#include "callbacks.h"
#include "docstrings.h"
#include "globals.h"

namespace {

constexpr unsigned kControlKinds = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;

// libcurl takes the flags as an unsigned int.
constexpr long long kFlagsLimit = 1LL << 32;

// Flag combinations that libcurl would put on the wire as a malformed frame
// (RFC 6455 §5.2, §5.5): a row is broken when `flags` holds a bit of `first`
// and a bit of `second`.
struct FlagRule {
  unsigned first;
  unsigned second;
  const char* message;
};

constexpr const char kMoreThanOneControl[] =
    "ws_send: only one of WS_PING / WS_PONG / WS_CLOSE may be set";

constexpr FlagRule kFlagRules[] = {
    {CURLWS_TEXT, CURLWS_BINARY, "ws_send: cannot set both WS_TEXT and WS_BINARY"},
    {CURLWS_CONT, kControlKinds,
     "ws_send: control frames cannot be fragmented (WS_CONT forbidden with "
     "WS_PING/WS_PONG/WS_CLOSE)"},
    {CURLWS_PING, CURLWS_PONG | CURLWS_CLOSE, kMoreThanOneControl},
    {CURLWS_PONG, CURLWS_CLOSE, kMoreThanOneControl},
};

// Status codes a peer may put on the wire (RFC 6455 §7.4): 1004, 1005, 1006
// and 1015 are reserved for local use and must never be sent.
struct CodeRange {
  long long first;
  long long last;
};

constexpr CodeRange kValidCloseCodes[] = {
    {1000, 1003},
    {1007, 1014},
    {3000, 4999},
};

constexpr bool is_valid_close_code(long long code) {
  for (const CodeRange& range : kValidCloseCodes) {
    if (code >= range.first && code <= range.last) return true;
  }
  return false;
}

// A control frame's payload is at most 125 bytes (RFC 6455 §5.5).
constexpr std::size_t kMaxClosePayload = 125;
constexpr std::size_t kCloseCodeSize = 2;

PyObject* ws_frame_from_meta(const curl_ws_frame* meta) {
  if (meta == nullptr) Py_RETURN_NONE;
  Ref fields[] = {
      Ref::steal(PyLong_FromLong(meta->age)),
      Ref::steal(PyLong_FromLong(meta->flags)),
      Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(meta->offset))),
      Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(meta->bytesleft))),
      Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(meta->len))),
  };
  PyObject* args[std::size(fields)];
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    if (!fields[i]) return nullptr;
    args[i] = fields[i].get();
  }
  return PyObject_Vectorcall(kx.ws_frame_type, args, std::size(args), nullptr);
}

// The sending methods are the only ones allowed inside a running transfer,
// and only from this handle's own WRITEFUNCTION callable: libcurl supports
// curl_ws_send from its write callback, on the transfer's thread, and nowhere
// else while the handle is busy.
constexpr const char* kSendBusy =
    "cannot invoke %s() - perform() is currently running outside WRITEFUNCTION callback";

class WsSendAccess : public CurlAccess {
 public:
  WsSendAccess(CurlObject* self, const char* name) noexcept
      : CurlAccess(self, CHECK_HANDLE, name, Nesting::allow, kSendBusy) {
    // Nested, this is the transfer's own thread, the only one that writes
    // in_write_callback.
    if (held_ && nested() && !self->in_write_callback) {
      refuse_busy(kSendBusy, name);
      held_ = false;
    }
  }
};

// curl_ws_send may run inside a callback of the handle's transfer, so the
// call runs on the slot that callback entered through, as pause does.
PyObject* perform_ws_send(CurlObject* self, CurlAccess& access, const void* data,
                          std::size_t length, curl_off_t fragsize, unsigned flags) {
  std::size_t sent = 0;
  ErrorBufferScope error(self);
  CURLcode res;
  {
    auto call = access.detach();
    res = curl_ws_send(access.handle(), data, length, &sent, fragsize, flags);
  }
  if (check_pending_python_exception_or_signal() < 0) return nullptr;
  if (check_easy_recv_send_result(self, res) < 0) return nullptr;
  return PyLong_FromSize_t(sent);
}

// Fills `view` with the bytes of a str encoded by `encoding` (kept alive in
// `encoded`) or with the simple buffer of any other object.
int text_or_buffer(PyObject* obj, const char* encoding, Ref* encoded, BufferGuard* view) {
  if (PyUnicode_Check(obj)) {
    *encoded = Ref::steal(PyUnicode_AsEncodedString(obj, encoding, "strict"));
    if (!*encoded) return -1;
    return view->acquire(encoded->get(), PyBUF_SIMPLE);
  }
  return view->acquire(obj, PyBUF_SIMPLE);
}

// curl_ws_recv with the interpreter detached on the handle's own slot; the
// handle is idle (checked by the caller), so no callback can need another.
int perform_ws_recv(CurlObject* self, CurlAccess& access, void* buffer, std::size_t length,
                    std::size_t* received, const curl_ws_frame** meta) {
  ErrorBufferScope error(self);
  CURLcode res;
  {
    auto call = access.detach();
    res = curl_ws_recv(access.handle(), buffer, length, received, meta);
  }
  if (check_pending_python_exception_or_signal() < 0) return -1;
  return check_easy_recv_send_result(self, res);
}

}  // namespace

PyObject* do_curl_ws_send(CurlObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* data = nullptr;
  PyObject* flags_obj = Py_None;
  Py_ssize_t fragsize = 0;
  const char* encoding = "utf-8";
  if (!parse_keywords<decl::curl_ws_send>(args, nargs, kwnames, &data, &flags_obj, &fragsize,
                                          &encoding))
    return nullptr;
  if (fragsize < 0) {
    PyErr_SetString(PyExc_ValueError, "negative fragsize in ws_send");
    return nullptr;
  }

  const bool explicit_flags = flags_obj != Py_None;
  unsigned flags = 0;
  if (explicit_flags) {
    const long long value = PyLong_AsLongLong(flags_obj);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0) {
      PyErr_SetString(PyExc_ValueError, "flags must be non-negative");
      return nullptr;
    }
    if (value >= kFlagsLimit) {
      PyErr_SetString(PyExc_OverflowError, "flags out of range for curl_ws_send");
      return nullptr;
    }
    flags = static_cast<unsigned>(value);
    for (const FlagRule& rule : kFlagRules) {
      if ((flags & rule.first) != 0 && (flags & rule.second) != 0) {
        PyErr_SetString(PyExc_ValueError, rule.message);
        return nullptr;
      }
    }
  }

  if (data == Py_None) {
    PyErr_SetString(PyExc_TypeError,
                    "ws_send: data must be str or bytes-like, not NoneType (use b\"\" for an "
                    "empty payload)");
    return nullptr;
  }
  const bool is_text = PyUnicode_Check(data);
  if (is_text && explicit_flags) {
    if (flags & CURLWS_BINARY) {
      PyErr_SetString(PyExc_TypeError,
                      "ws_send: str data is incompatible with WS_BINARY; pass bytes-like data "
                      "for binary frames");
      return nullptr;
    }
    if (flags & CURLWS_CLOSE) {
      PyErr_SetString(PyExc_TypeError,
                      "ws_send: str data is incompatible with WS_CLOSE; use ws_close() or pass "
                      "a bytes-like payload");
      return nullptr;
    }
  }
  Ref encoded;
  BufferGuard view;
  if (text_or_buffer(data, encoding, &encoded, &view) < 0) return nullptr;
  if (!explicit_flags) flags = is_text ? CURLWS_TEXT : CURLWS_BINARY;

  WsSendAccess access(self, "ws_send");
  if (!access) return nullptr;
  return perform_ws_send(self, access, view->buf, static_cast<std::size_t>(view->len),
                         static_cast<curl_off_t>(fragsize), flags);
}

PyObject* do_curl_ws_close(CurlObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* code_obj = Py_None;
  PyObject* reason = Py_None;
  const char* encoding = "utf-8";
  if (!parse_keywords<decl::curl_ws_close>(args, nargs, kwnames, &code_obj, &reason, &encoding))
    return nullptr;

  unsigned char payload[kMaxClosePayload];
  std::size_t length = 0;
  Ref encoded;
  BufferGuard view;
  if (code_obj == Py_None) {
    if (reason != Py_None) {
      PyErr_SetString(PyExc_ValueError, "ws_close: reason requires code (RFC 6455 §5.5.1)");
      return nullptr;
    }
  } else {
    const long long code = PyLong_AsLongLong(code_obj);
    if (code == -1 && PyErr_Occurred()) return nullptr;
    if (!is_valid_close_code(code)) {
      PyErr_SetString(PyExc_ValueError, "ws_close: code must be a valid wire close status code");
      return nullptr;
    }
    // Network byte order (RFC 6455 §5.5.1).
    payload[0] = static_cast<unsigned char>(code >> 8);
    payload[1] = static_cast<unsigned char>(code & 0xff);
    length = kCloseCodeSize;
    if (reason != Py_None) {
      if (text_or_buffer(reason, encoding, &encoded, &view) < 0) return nullptr;
      // The peer must fail the connection on a reason that is not UTF-8
      // (RFC 6455 §8.1), so such a reason is refused here instead.
      Ref check = Ref::steal(PyUnicode_DecodeUTF8(static_cast<const char*>(view->buf), view->len,
                                                  "strict"));
      if (!check) return nullptr;
      const auto reason_length = static_cast<std::size_t>(view->len);
      if (kCloseCodeSize + reason_length > kMaxClosePayload) {
        PyErr_Format(PyExc_ValueError,
                     "ws_close: payload too large (%zd bytes, max 125 including 2-byte status "
                     "code)",
                     static_cast<Py_ssize_t>(kCloseCodeSize + reason_length));
        return nullptr;
      }
      if (reason_length > 0) std::memcpy(payload + kCloseCodeSize, view->buf, reason_length);
      length += reason_length;
    }
  }

  WsSendAccess access(self, "ws_close");
  if (!access) return nullptr;
  return perform_ws_send(self, access, payload, length, 0, CURLWS_CLOSE);
}

PyObject* do_curl_ws_recv(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  Py_ssize_t wanted = 0;
  if (!parse<decl::curl_ws_recv>(args, nargs, &wanted)) return nullptr;
  if (wanted < 0) {
    PyErr_SetString(PyExc_ValueError, "negative buffersize in ws_recv");
    return nullptr;
  }
  CurlAccess access(self, CHECK_HANDLE, "ws_recv");
  if (!access) return nullptr;

  Ref buffer;
  if (wanted > 0) {
    buffer = Ref::steal(PyBytes_FromStringAndSize(nullptr, wanted));
    if (!buffer) return nullptr;
  }
  std::size_t received = 0;
  const curl_ws_frame* meta = nullptr;
  if (perform_ws_recv(self, access, buffer ? PyBytes_AS_STRING(buffer.get()) : nullptr,
                      static_cast<std::size_t>(wanted), &received, &meta) < 0)
    return nullptr;

  Ref data;
  if (!buffer) {
    data = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  } else if (received == static_cast<std::size_t>(wanted)) {
    data = std::move(buffer);
  } else {
    data = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(buffer.get()),
                                                static_cast<Py_ssize_t>(received)));
  }
  if (!data) return nullptr;
  Ref frame = Ref::steal(ws_frame_from_meta(meta));
  if (!frame) return nullptr;
  return PyTuple_Pack(2, data.get(), frame.get());
}

PyObject* do_curl_ws_recv_into(CurlObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BufferGuard buffer;
  Py_ssize_t wanted = 0;
  if (!parse_keywords<decl::curl_ws_recv_into>(args, nargs, kwnames, buffer.fill(), &wanted))
    return nullptr;
  if (recv_into_size(*buffer, &wanted, "ws_recv_into") < 0) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "ws_recv_into");
  if (!access) return nullptr;

  std::size_t received = 0;
  const curl_ws_frame* meta = nullptr;
  const int rc = perform_ws_recv(self, access, wanted > 0 ? buffer->buf : nullptr,
                                 static_cast<std::size_t>(wanted), &received, &meta);
  buffer.reset();
  if (rc < 0) return nullptr;
  Ref count = Ref::steal(PyLong_FromSize_t(received));
  if (!count) return nullptr;
  Ref frame = Ref::steal(ws_frame_from_meta(meta));
  if (!frame) return nullptr;
  return PyTuple_Pack(2, count.get(), frame.get());
}

PyObject* do_curl_ws_meta(CurlObject* self, PyObject* /*ignored*/) {
  // The WRITEFUNCTION callable of a running transfer asks for the frame it
  // is being given. libcurl's frame record lives in the connection, which
  // the transfer's thread may free as soon as its callback returns; another
  // thread has no frame of its own and must not read the handle meanwhile.
  CurlAccess access(self, CHECK_HANDLE, "ws_meta", Nesting::allow);
  if (!access) {
    if (!self->handle.open()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return ws_frame_from_meta(curl_ws_meta(access.handle()));
}
