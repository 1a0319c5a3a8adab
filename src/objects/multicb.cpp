// CurlMulti's callback trampolines: the socket, timer, notification and
// HTTP/2 push callbacks that libcurl calls while a driving call of the multi
// runs, each handing the event to the Python callable set with setopt().
#include "multi.h"

#include "access.h"
#include "callbacks.h"
#include "easy.h"
#include "globals.h"

#include <cstring>

namespace {

PyObject* as_object(CurlMultiObject* self) { return reinterpret_cast<PyObject*>(self); }

// Converts what a timer or socket callable returned: None is success, an
// int is passed through, anything else is reported and fails.
int multi_callback_result(PyObject* result, const char* name) {
  if (result == nullptr) return callback_failed(-1);
  if (result == Py_None) return 0;
  int value = -1;
  if (callback_return_value_to_int(result, name, &value) < 0) return -1;
  return value;
}

// The Curl object of an easy handle of this multi, found through libcurl's
// private pointer and trusted only when that object still owns the handle
// inside this multi; null otherwise.
CurlObject* member_curl(CurlMultiObject* self, CURL* easy) {
  if (easy == nullptr) return nullptr;
  char* priv = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_PRIVATE, &priv) != CURLE_OK || priv == nullptr)
    return nullptr;
  auto* candidate = reinterpret_cast<PyObject*>(priv);
  if (!is_curl(candidate) || !as_curl(candidate)->handle.is(easy) ||
      as_curl(candidate)->multi_stack != self)
    return nullptr;
  return as_curl(candidate);
}

// The pushed request's headers as (name, value) pairs. libcurl gives each
// as "name:value"; pseudo-headers start with their own colon (":path").
// Decoded as Latin-1, as Curl.headers() decodes the response's: HTTP/2
// carries any byte above 0x7f in a value, and no push is lost to decoding.
PyObject* push_headers(curl_pushheaders* headers, size_t count) {
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    const char* line = curl_pushheader_bynum(headers, i);
    if (line == nullptr) line = ":";
    const char* colon = std::strchr(line[0] == ':' ? line + 1 : line, ':');
    const size_t name_len = colon != nullptr ? static_cast<size_t>(colon - line) : std::strlen(line);
    const char* value = colon != nullptr ? colon + 1 : "";
    Ref name = Ref::steal(PyUnicode_DecodeLatin1(line, static_cast<Py_ssize_t>(name_len), nullptr));
    Ref text = Ref::steal(
        PyUnicode_DecodeLatin1(value, static_cast<Py_ssize_t>(std::strlen(value)), nullptr));
    if (!name || !text) return nullptr;
    Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), text.get()));
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list.release();
}
}  // namespace

int multi_timer_callback(CURLM* multi, long timeout_ms, void* userp) {
  (void)multi;
  auto* self = static_cast<CurlMultiObject*>(userp);
  MultiCallbackEntry frame(self, &CurlMultiObject::cb_timer,
                           "multi_timer_callback failed to acquire thread");
  if (!frame.entered()) return -1;
  if (frame.callable() == nullptr) return 0;
  Ref result = Ref::steal(call_with_int(frame.callable(), timeout_ms));
  return multi_callback_result(result.get(), "multi timer");
}

int multi_socket_callback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp) {
  (void)easy;
  auto* self = static_cast<CurlMultiObject*>(userp);
  MultiCallbackEntry frame(self, &CurlMultiObject::cb_socket,
                           "multi_socket_callback failed to acquire thread");
  if (!frame.entered()) return -1;
  // After clear or during destruction the callable is gone and the objects
  // that socketp pointed to may be too: do not look at socketp.
  if (frame.callable() == nullptr) return 0;
  Ref py_what = Ref::steal(PyLong_FromLong(what));
  Ref py_sock = Ref::steal(PyLong_FromCurlSocket(s));
  if (!py_what || !py_sock) return callback_failed(-1);
  // The callable may unassign this socket, dropping the assignment dict's
  // reference; the call keeps its own.
  Ref assigned = Ref::borrow(socketp != nullptr ? static_cast<PyObject*>(socketp) : Py_None);
  Ref result = call_callable(frame.callable(), py_what.get(), py_sock.get(), as_object(self),
                             assigned.get());
  return multi_callback_result(result.get(), "multi socket");
}

void multi_notify_callback(CURLM* multi, unsigned int notification, CURL* easy, void* userp) {
  (void)multi;
  auto* self = static_cast<CurlMultiObject*>(userp);
  MultiCallbackEntry frame(self, &CurlMultiObject::cb_notify,
                           "multi_notify_callback failed to acquire thread");
  if (!frame.entered() || frame.callable() == nullptr) return;
  CurlObject* member = member_curl(self, easy);
  Ref curl = Ref::borrow(member != nullptr ? reinterpret_cast<PyObject*>(member) : Py_None);
  Ref kind = Ref::steal(PyLong_FromUnsignedLong(notification));
  if (!kind) {
    print_callback_error_if_regular_exception();
    return;
  }
  Ref result = call_callable(frame.callable(), kind.get(), curl.get());
  if (!result) print_callback_error_if_regular_exception();
}


// HTTP/2 server push. libcurl offers the pushed stream as a new easy handle
// duplicated from the parent's; the callable gets the parent Curl, a new
// Curl for the stream (set up like a duphandle of the parent) and the
// request's headers, and answers PUSH_OK, PUSH_DENY or PUSH_ERROROUT. An
// accepted stream's Curl joins the multi as if added, and its transfer ends
// in info_read like any other; a refused one is given back to libcurl, which
// frees its handle. A parent with a share or a document is refused: libcurl
// would tie the copy to them behind their Python owners' backs.
int multi_push_callback(CURL* parent, CURL* easy, size_t num_headers, curl_pushheaders* headers,
                        void* userp) {
  // Refusing the pushed stream keeps the transfer that brought it going.
  constexpr int failure = CURL_PUSH_DENY;
  auto* self = static_cast<CurlMultiObject*>(userp);
  MultiCallbackEntry frame(self, &CurlMultiObject::cb_push,
                           "multi_push_callback failed to acquire thread");
  if (!frame.entered()) return failure;
  if (frame.callable() == nullptr || self->easies == nullptr) return failure;
  CurlObject* source = member_curl(self, parent);
  if (source == nullptr || source->share != nullptr || source->mime != nullptr ||
      source->httppost != nullptr)
    return failure;
  Ref parent_obj = Ref::borrow(reinterpret_cast<PyObject*>(source));
  Ref pushed = Ref::steal(Curl_Type.tp_alloc(&Curl_Type, 0));
  if (!pushed) return callback_failed(failure);
  CurlObject* curl = as_curl(pushed.get());
  curl->handle.adopt(easy);
  if (util_curl_adopt_copy(source, curl, easy) < 0) {
    util_curl_give_back(source, curl, easy);
    return callback_failed(failure);
  }
  Ref pairs = Ref::steal(push_headers(headers, num_headers));
  Ref weakref = Ref::borrow(self->weakself);
  int answer = failure;
  if (pairs && weakref) {
    // The callable may configure the new Curl, but not close or reset it:
    // libcurl is in the middle of handing the handle over.
    {
      CriticalSection cs(pushed.get());
      curl->in_push_callback = 1;
    }
    Ref result = call_callable(frame.callable(), parent_obj.get(), pushed.get(), pairs.get());
    {
      CriticalSection cs(pushed.get());
      curl->in_push_callback = 0;
    }
    if (result && result.get() == Py_None) {
      answer = CURL_PUSH_DENY;
    } else if (result) {
      int value = failure;
      if (callback_return_value_to_int(result.get(), "multi push", &value) == 0) answer = value;
    }
  }
  if (PyErr_Occurred()) print_callback_error_if_regular_exception();
  if (answer == CURL_PUSH_OK) {
    CriticalSection cs(pushed.get());
    if (PySet_Add(self->easies, pushed.get()) == 0) {
      easy_set_multi_ref(curl, self, std::move(weakref));
      return CURL_PUSH_OK;
    }
    print_callback_error_if_regular_exception();
  }
  util_curl_give_back(source, curl, easy);
  return answer == CURL_PUSH_OK ? failure : answer;
}
