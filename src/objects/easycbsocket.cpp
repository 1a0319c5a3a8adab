// libcurl's socket and security trampolines of the easy handle: Python code
// opens, configures and closes the transfer's sockets and judges SSH host
// keys; the TLS context of a new connection gets the handle's extra CA
// certificates.
#include "callbacks.h"

#include "access.h"
#include "easy.h"
#include "globals.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace {

// ---------------------------------------------------------------------------
// Close-socket tokens
//
// libcurl copies the close-socket function and its user data into every
// connection when it makes the connection, and calls them whenever that
// connection's socket is closed: possibly long after the handle that made it
// was closed, when the connection sat in the pool of a multi or a share. A
// Curl address handed over as user data would then be read after the object
// was freed (or reused by another object). So libcurl gets a number that is
// never reused, and the trampoline looks the owner up in this list; a token
// whose owner is gone, or whose owner has no callable any more, gets its
// socket closed here, since nobody else ever will.
// ---------------------------------------------------------------------------

PyMutex g_closers_mutex;
CurlObject* g_closers = nullptr;  // linked through closesocket_next
uintptr_t g_last_closesocket_token = 0;

// Called with g_closers_mutex held.
CurlObject* closesocket_owner(uintptr_t token) {
  for (CurlObject* o = g_closers; o != nullptr; o = o->closesocket_next) {
    if (o->closesocket_token == token) return o;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Python values of libcurl's records
// ---------------------------------------------------------------------------

// Python's own socket module spells the addresses this way too, so the tuple
// can go straight to socket.connect(). The scope identifier is an interface
// index kept in host byte order; only the flow information travels in
// network order.
Ref address_to_python(const curl_sockaddr* address) {
  const int family = address->addr.sa_family;
  const auto* raw = reinterpret_cast<const char*>(&address->addr);
  switch (family) {
    case AF_INET: {
      sockaddr_in sin;
      std::memcpy(&sin, raw, sizeof(sin));
      char host[INET_ADDRSTRLEN];
      if (inet_ntop(AF_INET, &sin.sin_addr, host, sizeof(host)) == nullptr) {
        PyErr_SetFromErrno(kx.ErrorObject);
        return Ref();
      }
      return Ref::steal(Py_BuildValue("(si)", host, static_cast<int>(ntohs(sin.sin_port))));
    }
    case AF_INET6: {
      sockaddr_in6 sin6;
      std::memcpy(&sin6, raw, sizeof(sin6));
      char host[INET6_ADDRSTRLEN];
      if (inet_ntop(AF_INET6, &sin6.sin6_addr, host, sizeof(host)) == nullptr) {
        PyErr_SetFromErrno(kx.ErrorObject);
        return Ref();
      }
      return Ref::steal(Py_BuildValue("(siII)", host, static_cast<int>(ntohs(sin6.sin6_port)),
                                      static_cast<unsigned int>(ntohl(sin6.sin6_flowinfo)),
                                      static_cast<unsigned int>(sin6.sin6_scope_id)));
    }
    case AF_UNIX: {
      // The path ends at its NUL or at the length libcurl gave, whichever
      // comes first; an abstract name (leading NUL) keeps all its bytes, as
      // Python's socket module gives it.
      const auto* sun = reinterpret_cast<const sockaddr_un*>(raw);
      constexpr std::size_t offset = offsetof(sockaddr_un, sun_path);
      std::size_t room = address->addrlen > offset ? address->addrlen - offset : 0;
      if (room > sizeof(sun->sun_path)) room = sizeof(sun->sun_path);
      const std::size_t len =
          room > 0 && sun->sun_path[0] == '\0' ? room : strnlen(sun->sun_path, room);
      return Ref::steal(PyBytes_FromStringAndSize(sun->sun_path, static_cast<Py_ssize_t>(len)));
    }
    default:
      set_error_text("Unsupported address family");
      return Ref();
  }
}

// libcurl's known-host key record as KhKey(key, keytype), or None.
Ref khkey_to_python(const curl_khkey* khkey) {
  if (khkey == nullptr) return Ref::borrow(Py_None);
  Ref key;
  if (khkey->key == nullptr) {
    key = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  } else if (khkey->len > 0) {
    // Raw key bytes.
    if (khkey->len > static_cast<size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "key is too long");
      return Ref();
    }
    key = Ref::steal(PyBytes_FromStringAndSize(khkey->key, static_cast<Py_ssize_t>(khkey->len)));
  } else {
    // Base64 text, NUL-terminated.
    key = Ref::steal(PyBytes_FromString(khkey->key));
  }
  if (!key) return Ref();
  Ref keytype = Ref::steal(PyLong_FromLong(static_cast<long>(khkey->keytype)));
  if (!keytype) return Ref();
  PyObject* args[] = {key.get(), keytype.get()};
  return Ref::steal(PyObject_Vectorcall(kx.khkey_type, args, 2, nullptr));
}

// The descriptor of an object returned by the open-socket callable, or -1
// with an exception set; `report` tells whether the trampoline prints it.
curl_socket_t opened_socket(PyObject* result, bool* report) {
  *report = true;
  curl_socket_t fd;
  if (PyLong_Check(result)) {
    // A bare number is libcurl's to own and close.
    return PyLong_AsCurlSocket(result, &fd) < 0 ? CURL_SOCKET_BAD : fd;
  }
  Ref fileno = Ref::steal(PyObject_GetAttrString(result, "fileno"));
  if (!fileno) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      set_error_text("Open socket callback's return value must be a socket");
    }
    return CURL_SOCKET_BAD;
  }
  Ref number = Ref::steal(PyObject_CallNoArgs(fileno.get()));
  if (!number) return CURL_SOCKET_BAD;
  if (!PyLong_Check(number.get())) {
    set_error_text(
        "Open socket callback returned an object whose fileno method did not return an integer");
    *report = false;  // raised by perform
    return CURL_SOCKET_BAD;
  }
  if (PyLong_AsCurlSocket(number.get(), &fd) < 0) return CURL_SOCKET_BAD;
  // The socket object keeps (and will close) its own descriptor; libcurl
  // gets a duplicate to own. Close-on-exec like every descriptor Python
  // makes, so that child processes do not inherit the connection.
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return CURL_SOCKET_BAD;
  }
  return copy;
}

// Loads the PEM certificates of `ca_certs` into the store of a new TLS
// context. Returns 0, or -1 with an exception set.
int add_ca_certs(CurlObject* self, SSL_CTX* ctx) {
  struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
  };
  struct X509Free {
    void operator()(X509* cert) const noexcept { X509_free(cert); }
  };

  Ref data = Ref::borrow(self->ca_certs);
  const Py_ssize_t len = data ? PyBytes_Size(data.get()) : 0;
  if (len < 0) return -1;
  if (len == 0) {
    PyErr_SetString(PyExc_ValueError, "Empty certificate data");
    return -1;
  }
  if (len > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Certificate data is too long.");
    return -1;
  }

  // Errors queued by earlier OpenSSL work on this thread would otherwise be
  // mistaken for the outcome of reading these certificates.
  ERR_clear_error();
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(PyBytes_AS_STRING(data.get()), static_cast<int>(len)));
  if (!bio) {
    PyErr_SetString(PyExc_MemoryError, "Can't allocate buffer");
    ERR_clear_error();
    return -1;
  }

  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  int loaded = 0;
  for (;;) {
    std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) break;
    if (X509_STORE_add_cert(store, cert.get()) == 0) {
      const unsigned long err = ERR_peek_last_error();
      if (ERR_GET_LIB(err) != ERR_LIB_X509 ||
          ERR_GET_REASON(err) != X509_R_CERT_ALREADY_IN_HASH_TABLE) {
        break;
      }
      ERR_clear_error();
    }
    ++loaded;
  }

  // Running out of PEM blocks is how the end of the data shows.
  const unsigned long err = ERR_peek_last_error();
  if (loaded > 0 && ERR_GET_LIB(err) == ERR_LIB_PEM &&
      ERR_GET_REASON(err) == PEM_R_NO_START_LINE) {
    ERR_clear_error();
    return 0;
  }
  const char* reason = ERR_reason_error_string(err);
  set_error_text(reason != nullptr ? reason : "no certificate could be loaded");
  ERR_clear_error();
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// TLS context
// ---------------------------------------------------------------------------

CURLcode ssl_ctx_callback(CURL* /*handle*/, void* ssl_ctx, void* userdata) {
  constexpr CURLcode failure = CURLE_FAILED_INIT;
  auto* self = static_cast<CurlObject*>(userdata);
  // Attached although no Python code runs: the certificate bytes are a
  // Python object and failures are reported as Python exceptions.
  CallbackEntry frame(self, "ssl_ctx_callback failed to acquire thread");
  if (!frame.ready()) return failure;

  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  // libcurl keeps TLS sessions for every handle of a multi (or share) under a
  // key that does not know about these extra certificates; a handle without
  // them could resume a session verified with them and skip verification.
  // With the context's session cache off, its sessions are never handed out.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (add_ca_certs(self, ctx) < 0) return callback_failed(failure);
  return CURLE_OK;
}

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------

curl_socket_t opensocket_callback(void* clientp, curlsocktype purpose,
                                  struct curl_sockaddr* address) {
  constexpr auto failure = static_cast<curl_socket_t>(callback_failure(CURLOPT_OPENSOCKETFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_OPENSOCKETFUNCTION),
                      "opensocket_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;

  Ref addr = address_to_python(address);
  if (!addr) return callback_failed(failure);
  Ref family = Ref::steal(PyLong_FromLong(address->family));
  Ref socktype = Ref::steal(PyLong_FromLong(address->socktype));
  Ref protocol = Ref::steal(PyLong_FromLong(address->protocol));
  Ref py_purpose = Ref::steal(PyLong_FromLong(static_cast<long>(purpose)));
  if (!family || !socktype || !protocol || !py_purpose) return callback_failed(failure);
  PyObject* fields[] = {family.get(), socktype.get(), protocol.get(), addr.get()};
  Ref sockaddr = Ref::steal(PyObject_Vectorcall(kx.curl_sockaddr_type, fields, 4, nullptr));
  if (!sockaddr) return callback_failed(failure);
  Ref result = call_callable(callable, py_purpose.get(), sockaddr.get());
  if (!result) return callback_failed(failure);
  bool report = true;
  const curl_socket_t fd = opened_socket(result.get(), &report);
  if (fd == CURL_SOCKET_BAD && report && exception_pending()) {
    print_callback_error_if_regular_exception();
  }
  return fd;
}

int sockopt_cb(void* clientp, curl_socket_t curlfd, curlsocktype purpose) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_SOCKOPTFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_SOCKOPTFUNCTION),
                      "sockopt_cb failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;

  Ref fd = Ref::steal(PyLong_FromCurlSocket(curlfd));
  Ref py_purpose = Ref::steal(PyLong_FromLong(static_cast<long>(purpose)));
  if (!fd || !py_purpose) return callback_failed(-1);
  Ref result = call_callable(callable, fd.get(), py_purpose.get());
  int value = 0;
  return callback_return_value_to_int(result.get(), "sockopt", &value) < 0 ? -1 : value;
}

int closesocket_callback(void* clientp, curl_socket_t item) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_CLOSESOCKETFUNCTION));
  // libcurl expects the socket closed when this returns; every path that
  // cannot hand it to the Python callable closes it here.
  if (Py_IsFinalizing()) {
    close(item);
    return failure;
  }

  // The owner is looked up, and whether one of its libcurl calls is running
  // is read, under the list's mutex: a handle that is not running can be
  // freed by another thread at any moment (its close takes the mutex to
  // give its token up), a running one cannot.
  const auto token = reinterpret_cast<uintptr_t>(clientp);
  MutexGuard guard(g_closers_mutex);
  CurlObject* self = closesocket_owner(token);
  // A connection pooled by one multi can be closed while its maker runs in
  // another thread: only a call running on this very thread can be entered.
  const bool running = self != nullptr && served_on_this_thread(self);
  guard.unlock();
  if (self == nullptr) {
    // The handle that made the connection is gone.
    close(item);
    return 0;
  }
  if (!running) {
    warn_failed_to_acquire_thread("closesocket_callback failed to acquire thread");
    close(item);
    return failure;
  }

  CallbackEntry frame(self, callback_row(CURLOPT_CLOSESOCKETFUNCTION),
                      "closesocket_callback failed to acquire thread");
  if (!frame.ready()) {
    close(item);
    return failure;
  }
  PyObject* const callable = frame.callable();
  if (callable == nullptr) {
    // Unset after the connection was made: libcurl still calls us for it.
    return close(item);
  }
  Ref fd = Ref::steal(PyLong_FromCurlSocket(item));
  if (!fd) {
    print_callback_error_if_regular_exception();
    close(item);
    return -1;
  }
  Ref result = call_callable(callable, fd.get());
  int value = 0;
  return callback_return_value_to_int(result.get(), "closesocket", &value) < 0 ? -1 : value;
}

CURLcode install_closesocket(CURL* handle, CURLoption option) {
  char* self = nullptr;
  // Reading the private pointer cannot fail; the handle was made with one.
  (void)curl_easy_getinfo(handle, CURLINFO_PRIVATE, &self);
  assert(self != nullptr);
  closesocket_link(reinterpret_cast<CurlObject*>(self), handle);
  return curl_easy_setopt(handle, option, closesocket_callback);
}

void closesocket_link(CurlObject* self, CURL* handle) {
  assert(self->handle.is(handle) && handle != nullptr);
  MutexGuard guard(g_closers_mutex);
  if (self->closesocket_token == 0) {
    self->closesocket_token = ++g_last_closesocket_token;
    self->closesocket_next = g_closers;
    g_closers = self;
  }
  const uintptr_t token = self->closesocket_token;
  guard.unlock();
  // Storing a user-data pointer cannot fail.
  (void)curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, reinterpret_cast<void*>(token));
}

void closesocket_unlink(CurlObject* self) {
  MutexGuard guard(g_closers_mutex);
  if (self->closesocket_token != 0) {
    for (CurlObject** link = &g_closers; *link != nullptr; link = &(*link)->closesocket_next) {
      if (*link == self) {
        *link = self->closesocket_next;
        break;
      }
    }
    self->closesocket_token = 0;
    self->closesocket_next = nullptr;
  }
}

// ---------------------------------------------------------------------------
// SSH host keys
// ---------------------------------------------------------------------------

int ssh_key_cb(CURL* /*easy*/, const struct curl_khkey* knownkey,
               const struct curl_khkey* foundkey, enum curl_khmatch match, void* clientp) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_SSH_KEYFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_SSH_KEYFUNCTION),
                      "ssh_key_cb failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;

  Ref known = khkey_to_python(knownkey);
  if (!known) return -1;
  Ref found = khkey_to_python(foundkey);
  if (!found) return -1;
  Ref py_match = Ref::steal(PyLong_FromLong(static_cast<long>(match)));
  if (!py_match) return callback_failed(-1);
  Ref result = call_callable(callable, known.get(), found.get(), py_match.get());
  int value = 0;
  return callback_return_value_to_int(result.get(), "ssh key", &value) < 0 ? -1 : value;
}

// libcurl asks whether the host key the server presented is the one
// expected: callable(keytype, key) with the raw key bytes, answering
// KHMATCH_OK to go on or KHMATCH_MISMATCH to refuse the host.
int ssh_hostkey_callback(void* clientp, int keytype, const char* key, size_t keylen) {
  constexpr int failure = static_cast<int>(callback_failure(CURLOPT_SSH_HOSTKEYFUNCTION));
  auto* self = static_cast<CurlObject*>(clientp);
  CallbackEntry frame(self, callback_row(CURLOPT_SSH_HOSTKEYFUNCTION),
                      "ssh_hostkey_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;
  if (keylen > static_cast<size_t>(PY_SSIZE_T_MAX)) return failure;
  Ref py_type = Ref::steal(PyLong_FromLong(keytype));
  Ref py_key = Ref::steal(PyBytes_FromStringAndSize(key, static_cast<Py_ssize_t>(keylen)));
  if (!py_type || !py_key) return callback_failed(failure);
  Ref result = call_callable(callable, py_type.get(), py_key.get());
  if (!result) return callback_failed(failure);
  int value = 0;
  if (callback_return_value_to_int(result.get(), "ssh host key", &value) < 0) return failure;
  return value;
}
