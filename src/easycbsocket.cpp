// libcurl's socket and security trampolines of the easy handle: the TLS
// context of a new connection gets the handle's extra CA certificates.
#include "kelvex.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

namespace {

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
  constexpr auto failure = static_cast<CURLcode>(failure_value(Trampoline::ssl_ctx));
  auto* self = static_cast<CurlObject*>(userdata);
  // Attached although no Python code runs: the certificate bytes are a
  // Python object and failures are reported as Python exceptions.
  CallbackFrame frame(self, "ssl_ctx_callback failed to acquire thread");
  if (!frame.entered() || exception_pending()) return failure;

  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  // libcurl keeps TLS sessions for every handle of a multi (or share) under a
  // key that does not know about these extra certificates; a handle without
  // them could resume a session verified with them and skip verification.
  // With the context's session cache off, its sessions are never handed out.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (add_ca_certs(self, ctx) < 0) {
    print_callback_error_if_regular_exception();
    return failure;
  }
  return CURLE_OK;
}
