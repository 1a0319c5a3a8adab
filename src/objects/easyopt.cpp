// Curl.setopt and its companions: the dispatcher that judges a value by its
// kind, the scalar, string and blob options, the callable and file-like
// options, the string-list and legacy form options, and their resets.
#include "easy.h"

#include "access.h"
#include "callbacks.h"
#include "constants.h"
#include "docstrings.h"
#include "globals.h"
#include "holders.h"
#include "mime.h"
#include "share.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

namespace {

// ---------------------------------------------------------------------------
// Option numbers
// ---------------------------------------------------------------------------

// libcurl encodes the expected argument type in the option number: below
// 10000 a long, then object pointers, function pointers, curl_off_t values
// and blob records, each in a band of 10000.
constexpr int kObjectBase = 10000;
constexpr int kOffTBase = 30000;
constexpr int kBlobBase = 40000;
// The last index is the one of libcurl's newest option in the headers the
// module is built with, so every option those headers know passes.
constexpr int kLastOptionIndex = (CURLOPT_LASTENTRY - 1) % 10000;
constexpr int kLastOption = kBlobBase + kLastOptionIndex;
static_assert(kLastOptionIndex >= 328);

bool option_in_range(int option) {
  return ::option_in_range(option, kLastOption, kLastOptionIndex);
}

PyObject* invalid_arguments(const char* name) {
  PyErr_Format(PyExc_TypeError, "invalid arguments to %s", name);
  return nullptr;
}

// ---------------------------------------------------------------------------
// String and blob options
// ---------------------------------------------------------------------------

enum class StringClass : unsigned char { plain, deprecated, post_data, copied_post_data, blob };

// What unsetopt (or setopt with None) does with a string option: hand
// libcurl a null pointer, which gives the option its default back, or refuse.
enum class StringReset : unsigned char { refused, null };

struct StringOption {
  CURLoption option;
  StringClass kind;
  StringReset reset;
};

// CURLOPT_WILDCARDMATCH is deliberately absent: it takes a long, and a string
// would hand libcurl a pointer in its place.
constexpr StringOption kStringOptions[] = {
    {CURLOPT_URL, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY, StringClass::plain, StringReset::null},
    {CURLOPT_USERPWD, StringClass::plain, StringReset::null},
    {CURLOPT_PROXYUSERPWD, StringClass::plain, StringReset::null},
    {CURLOPT_RANGE, StringClass::plain, StringReset::null},
    {CURLOPT_POSTFIELDS, StringClass::post_data, StringReset::refused},
    {CURLOPT_REFERER, StringClass::plain, StringReset::refused},
    {CURLOPT_FTPPORT, StringClass::plain, StringReset::null},
    {CURLOPT_USERAGENT, StringClass::plain, StringReset::refused},
    {CURLOPT_COOKIE, StringClass::plain, StringReset::null},
    {CURLOPT_SSLCERT, StringClass::plain, StringReset::refused},
    {CURLOPT_KEYPASSWD, StringClass::plain, StringReset::refused},
    {CURLOPT_COOKIEFILE, StringClass::plain, StringReset::refused},
    {CURLOPT_CUSTOMREQUEST, StringClass::plain, StringReset::null},
    {CURLOPT_INTERFACE, StringClass::plain, StringReset::refused},
    {CURLOPT_KRBLEVEL, StringClass::deprecated, StringReset::refused},
    {CURLOPT_CAINFO, StringClass::plain, StringReset::null},
    {CURLOPT_RANDOM_FILE, StringClass::deprecated, StringReset::null},
    {CURLOPT_EGDSOCKET, StringClass::deprecated, StringReset::null},
    {CURLOPT_COOKIEJAR, StringClass::plain, StringReset::null},
    {CURLOPT_SSL_CIPHER_LIST, StringClass::plain, StringReset::null},
    {CURLOPT_SSLCERTTYPE, StringClass::plain, StringReset::refused},
    {CURLOPT_SSLKEY, StringClass::plain, StringReset::refused},
    {CURLOPT_SSLKEYTYPE, StringClass::plain, StringReset::refused},
    {CURLOPT_SSLENGINE, StringClass::plain, StringReset::refused},
    {CURLOPT_CAPATH, StringClass::plain, StringReset::null},
    {CURLOPT_ACCEPT_ENCODING, StringClass::plain, StringReset::null},
    {CURLOPT_NETRC_FILE, StringClass::plain, StringReset::refused},
    {CURLOPT_COOKIELIST, StringClass::plain, StringReset::refused},
    {CURLOPT_FTP_ACCOUNT, StringClass::plain, StringReset::refused},
    {CURLOPT_FTP_ALTERNATIVE_TO_USER, StringClass::plain, StringReset::refused},
    {CURLOPT_SSH_PUBLIC_KEYFILE, StringClass::plain, StringReset::refused},
    {CURLOPT_SSH_PRIVATE_KEYFILE, StringClass::plain, StringReset::refused},
    {CURLOPT_SSH_HOST_PUBLIC_KEY_MD5, StringClass::plain, StringReset::refused},
    {CURLOPT_COPYPOSTFIELDS, StringClass::copied_post_data, StringReset::refused},
    {CURLOPT_CRLFILE, StringClass::plain, StringReset::refused},
    {CURLOPT_ISSUERCERT, StringClass::plain, StringReset::refused},
    {CURLOPT_USERNAME, StringClass::plain, StringReset::null},
    {CURLOPT_PASSWORD, StringClass::plain, StringReset::null},
    {CURLOPT_PROXYUSERNAME, StringClass::plain, StringReset::null},
    {CURLOPT_PROXYPASSWORD, StringClass::plain, StringReset::null},
    {CURLOPT_NOPROXY, StringClass::plain, StringReset::refused},
    {CURLOPT_SOCKS5_GSSAPI_SERVICE, StringClass::deprecated, StringReset::refused},
    {CURLOPT_SSH_KNOWNHOSTS, StringClass::plain, StringReset::refused},
    {CURLOPT_MAIL_FROM, StringClass::plain, StringReset::refused},
    {CURLOPT_RTSP_SESSION_ID, StringClass::plain, StringReset::refused},
    {CURLOPT_RTSP_STREAM_URI, StringClass::plain, StringReset::refused},
    {CURLOPT_RTSP_TRANSPORT, StringClass::plain, StringReset::refused},
    {CURLOPT_TLSAUTH_USERNAME, StringClass::plain, StringReset::refused},
    {CURLOPT_TLSAUTH_PASSWORD, StringClass::plain, StringReset::refused},
    {CURLOPT_TLSAUTH_TYPE, StringClass::plain, StringReset::refused},
    {CURLOPT_DNS_SERVERS, StringClass::plain, StringReset::refused},
    {CURLOPT_MAIL_AUTH, StringClass::plain, StringReset::refused},
    {CURLOPT_XOAUTH2_BEARER, StringClass::plain, StringReset::refused},
    {CURLOPT_LOGIN_OPTIONS, StringClass::plain, StringReset::refused},
    {CURLOPT_PINNEDPUBLICKEY, StringClass::plain, StringReset::refused},
    {CURLOPT_UNIX_SOCKET_PATH, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_SERVICE_NAME, StringClass::plain, StringReset::null},
    {CURLOPT_SERVICE_NAME, StringClass::plain, StringReset::null},
    {CURLOPT_DEFAULT_PROTOCOL, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_CAINFO, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_CAPATH, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_TLSAUTH_USERNAME, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_TLSAUTH_PASSWORD, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_TLSAUTH_TYPE, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_SSLCERT, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_SSLCERTTYPE, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_SSLKEY, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_SSLKEYTYPE, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_KEYPASSWD, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_SSL_CIPHER_LIST, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_CRLFILE, StringClass::plain, StringReset::refused},
    {CURLOPT_PRE_PROXY, StringClass::plain, StringReset::null},
    {CURLOPT_PROXY_PINNEDPUBLICKEY, StringClass::plain, StringReset::refused},
    {CURLOPT_REQUEST_TARGET, StringClass::plain, StringReset::refused},
    {CURLOPT_TLS13_CIPHERS, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_TLS13_CIPHERS, StringClass::plain, StringReset::refused},
    {CURLOPT_DOH_URL, StringClass::plain, StringReset::refused},
    {CURLOPT_PROXY_ISSUERCERT, StringClass::plain, StringReset::refused},
    {CURLOPT_HSTS, StringClass::plain, StringReset::null},
    {CURLOPT_AWS_SIGV4, StringClass::plain, StringReset::refused},
    {CURLOPT_HAPROXY_CLIENT_IP, StringClass::plain, StringReset::refused},
    {CURLOPT_ECH, StringClass::plain, StringReset::refused},
    {CURLOPT_DNS_INTERFACE, StringClass::plain, StringReset::null},
    {CURLOPT_DNS_LOCAL_IP4, StringClass::plain, StringReset::null},
    {CURLOPT_DNS_LOCAL_IP6, StringClass::plain, StringReset::null},
    {CURLOPT_ABSTRACT_UNIX_SOCKET, StringClass::plain, StringReset::null},
    {CURLOPT_ALTSVC, StringClass::plain, StringReset::null},
    {CURLOPT_SASL_AUTHZID, StringClass::plain, StringReset::null},
    {CURLOPT_SSL_EC_CURVES, StringClass::plain, StringReset::null},
    {CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, StringClass::plain, StringReset::null},
    {CURLOPT_PROTOCOLS_STR, StringClass::plain, StringReset::null},
    {CURLOPT_REDIR_PROTOCOLS_STR, StringClass::plain, StringReset::null},
    {CURLOPT_SSL_SIGNATURE_ALGORITHMS, StringClass::plain, StringReset::null},
#ifdef CURLAUTH_HTTPSIG
    {CURLOPT_HTTPSIG_KEY, StringClass::plain, StringReset::null},
    {CURLOPT_HTTPSIG_KEYID, StringClass::plain, StringReset::null},
    {CURLOPT_HTTPSIG_HEADERS, StringClass::plain, StringReset::null},
#endif
    {CURLOPT_SSLCERT_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_SSLKEY_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_PROXY_SSLCERT_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_PROXY_SSLKEY_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_ISSUERCERT_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_PROXY_ISSUERCERT_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_CAINFO_BLOB, StringClass::blob, StringReset::null},
    {CURLOPT_PROXY_CAINFO_BLOB, StringClass::blob, StringReset::null},
};

static_assert(options_unique(kStringOptions));

// The size always goes first: libcurl reads (POSTFIELDS) or copies
// (COPYPOSTFIELDS) as many bytes as the size set last says, so a size left
// over from earlier, longer data would make it read past the new bytes.
CURLcode set_post_size(CURL* handle, Py_ssize_t len) {
  if (len < (Py_ssize_t{1} << 31))
    return curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(len));
  return curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(len));
}

// libcurl does not copy POSTFIELDS: the bytes must stay alive in `postfields`
// for as long as any transfer may send them. The explicit size lets NUL bytes
// through.
PyObject* setopt_postfields(const CurlAccess& access, PyObject* value) {
  CurlObject* self = access.curl();
  char* data = nullptr;
  Py_ssize_t len = 0;
  Ref encoded;
  if (PyText_AsStringAndSize(value, &data, &len, &encoded) < 0) return nullptr;
  CURLcode res = set_post_size(access.handle(), len);
  if (res == CURLE_OK) res = curl_easy_setopt(access.handle(), CURLOPT_POSTFIELDS, data);
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  curl_release(self, RELEASE_POSTFIELDS, access.handle());
  self->postfields = encoded ? encoded.release() : Py_NewRef(value);
  self->mime_closed = 0;  // libcurl sends these bytes now
  Py_RETURN_NONE;
}

// A C string to the caller, like the plain options, but copied by libcurl
// with the size set last; `postfields` is left alone.
PyObject* setopt_copypostfields(const CurlAccess& access, PyObject* value) {
  CurlObject* self = access.curl();
  Ref encoded;
  const char* data = PyText_AsString_NoNUL(value, &encoded);
  if (data == nullptr) return nullptr;
  CURLcode res = set_post_size(access.handle(), static_cast<Py_ssize_t>(std::strlen(data)));
  if (res == CURLE_OK) res = curl_easy_setopt(access.handle(), CURLOPT_COPYPOSTFIELDS, data);
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  self->mime_closed = 0;
  Py_RETURN_NONE;
}

PyObject* setopt_blob(const CurlAccess& access, int option, PyObject* value) {
  CurlObject* self = access.curl();
  char* data = nullptr;
  Py_ssize_t len = 0;
  Ref encoded;
  if (PyText_AsStringAndSize(value, &data, &len, &encoded) < 0) return nullptr;
  curl_blob blob{data, static_cast<size_t>(len), CURL_BLOB_COPY};
  CURLcode res = curl_easy_setopt(access.handle(), static_cast<CURLoption>(option), &blob);
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_curl_setopt_string_impl(const CurlAccess& access, int option, PyObject* value) {
  CurlObject* self = access.curl();
  const StringOption* row = find_option(kStringOptions, option);
  if (row == nullptr) {
    PyErr_SetString(PyExc_TypeError, "strings are not supported for this option");
    return nullptr;
  }
  switch (row->kind) {
    case StringClass::post_data:
      return setopt_postfields(access, value);
    case StringClass::copied_post_data:
      return setopt_copypostfields(access, value);
    case StringClass::blob:
      return setopt_blob(access, option, value);
    case StringClass::deprecated:
      if (PyErr_WarnEx(PyExc_DeprecationWarning, "setopt option is deprecated", 1) < 0)
        return nullptr;
      break;
    case StringClass::plain:
      break;
  }
  // libcurl copies string options, so the temporary may go right after.
  Ref encoded;
  const char* str = PyText_AsString_NoNUL(value, &encoded);
  if (str == nullptr) return nullptr;
  CURLcode res = curl_easy_setopt(access.handle(), static_cast<CURLoption>(option), str);
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Integer options
// ---------------------------------------------------------------------------

// libcurl does not copy POSTFIELDS data and sends as many bytes as the post
// size says, so a size beyond the bytes this handle keeps alive would make it
// read (and send) memory past them.
bool post_size_exceeds_data(const CurlObject* self, int option, long long size) {
  if (option != CURLOPT_POSTFIELDSIZE && option != CURLOPT_POSTFIELDSIZE_LARGE) return false;
  if (self->postfields == nullptr) return false;
  if (size <= PyBytes_GET_SIZE(self->postfields)) return false;
  PyErr_SetString(PyExc_ValueError, "post size exceeds the POSTFIELDS data");
  return true;
}

PyObject* do_curl_setopt_int(const CurlAccess& access, int option, PyObject* value) {
  CurlObject* self = access.curl();
  CURLcode res;
  if (option < kObjectBase) {
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (option == CURLOPT_NOPROGRESS) {
      // libcurl keeps calling the progress trampoline, which honours this.
      self->noprogress = v != 0;
      Py_RETURN_NONE;
    }
    if (post_size_exceeds_data(self, option, v)) return nullptr;
    if (option == CURLOPT_PIPEWAIT) self->pipewait_chosen = true;
    res = curl_easy_setopt(access.handle(), static_cast<CURLoption>(option), v);
  } else if (option >= kOffTBase && option < kBlobBase) {
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (post_size_exceeds_data(self, option, v)) return nullptr;
    res = curl_easy_setopt(access.handle(), static_cast<CURLoption>(option),
                           static_cast<curl_off_t>(v));
  } else {
    PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
    return nullptr;
  }
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Callable options
// ---------------------------------------------------------------------------

// The table of the callable options, their trampolines and what setopt and
// unsetopt do with each, is kCallbackOptions (callbackoptions.h).

PyObject* do_curl_setopt_callable(const CurlAccess& access, int option, PyObject* callable,
                                  int use_memoryview) {
  CurlObject* self = access.curl();
  const CallbackOption* row = find_option(kCallbackOptions, option);
  if (row != nullptr && row->deprecation != nullptr &&
      PyErr_WarnEx(PyExc_DeprecationWarning, row->deprecation, 1) < 0)
    return nullptr;
  if (row == nullptr) {
    PyErr_SetString(PyExc_TypeError, "functions are not supported for this option");
    return nullptr;
  }
  const std::size_t index = row_index(*row);
  // Releasing the old callable may run arbitrary code, even a setopt on this
  // handle: it goes last, when the record and libcurl are already consistent.
  Ref previous = Ref::steal(self->callables[index]);
  self->callables[index] = Py_NewRef(callable);
  if (row->flags & CB_MEMORYVIEW) curl_set_memoryview(self, index, use_memoryview == 1);
  if (row->install != nullptr) {
    // Neither call can fail for an open handle and an option libcurl knows.
    // The data pointer goes first: an installer may put its own in place.
    (void)curl_easy_setopt(access.handle(), row->data_option, static_cast<void*>(self));
    (void)row->install(access.handle(), row->option);
  }
  Py_RETURN_NONE;
}

// libcurl gives PROGRESSDATA and XFERINFODATA one number, and the two chunk
// callables one data option: while another function option that reads the
// same data option keeps its callable, the data must stay pointed at this
// object or that trampoline loses its handle.
bool data_option_in_use(const CurlObject* self, const CallbackOption& row) {
  for (std::size_t other = 0; other < kCallbackCount; ++other) {
    if (&kCallbackOptions[other] != &row &&
        kCallbackOptions[other].data_option == row.data_option &&
        self->callables[other] != nullptr)
      return true;
  }
  return false;
}

PyObject* unsetopt_callable(const CurlAccess& access, const CallbackOption& row) {
  CurlObject* self = access.curl();
  if (row.install != nullptr) {
    void* data = nullptr;
    switch (row.reset) {
      case DataReset::standard_output:
        data = stdout;
        break;
      case DataReset::standard_input:
        data = stdin;
        break;
      case DataReset::null:
        if (data_option_in_use(self, row)) data = self;
        break;
    }
    CURLcode res = curl_easy_setopt(access.handle(), row.option, static_cast<void*>(nullptr));
    if (res == CURLE_OK) res = curl_easy_setopt(access.handle(), row.data_option, data);
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
  }
  PyObject*& field = self->callables[row_index(row)];
  Ref previous = Ref::steal(field);
  field = nullptr;
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// String lists and the legacy form
// ---------------------------------------------------------------------------

struct ListOption {
  CURLoption option;
  PyObject* CurlObject::*field;
};

constexpr ListOption kListOptions[] = {
    {CURLOPT_HTTPHEADER, &CurlObject::httpheader},
    {CURLOPT_PROXYHEADER, &CurlObject::proxyheader},
    {CURLOPT_HTTP200ALIASES, &CurlObject::http200aliases},
    {CURLOPT_QUOTE, &CurlObject::quote},
    {CURLOPT_POSTQUOTE, &CurlObject::postquote},
    {CURLOPT_PREQUOTE, &CurlObject::prequote},
    {CURLOPT_TELNETOPTIONS, &CurlObject::telnetoptions},
    {CURLOPT_RESOLVE, &CurlObject::resolve},
    {CURLOPT_MAIL_RCPT, &CurlObject::mail_rcpt},
    {CURLOPT_CONNECT_TO, &CurlObject::connect_to},
};
static_assert(options_unique(kListOptions));

curl_slist* holder_slist(PyObject* holder) {
  return holder ? reinterpret_cast<CurlSlistObject*>(holder)->slist : nullptr;
}

curl_httppost* holder_httppost(PyObject* holder) {
  return holder ? reinterpret_cast<CurlHttppostObject*>(holder)->httppost : nullptr;
}

PyObject* do_curl_setopt_list(const CurlAccess& access, int option, int which, PyObject* sequence) {
  CurlObject* self = access.curl();
  const ListOption* row = find_option(kListOptions, option);
  if (row == nullptr) {
    PyErr_SetString(PyExc_TypeError, "lists are not supported for this option");
    return nullptr;
  }
  Py_ssize_t count = PyListOrTuple_Size(sequence, which);
  if (count <= 0) Py_RETURN_NONE;
  SlistPtr list(kelvex_list_or_tuple_to_slist(which, sequence, count));
  if (!list) return nullptr;

  PyObject** field = &(self->*row->field);
  CURLcode res = curl_easy_setopt(access.handle(), row->option, list.get());
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  if (util_curlslist_update(field, list.get()) < 0) {
    // libcurl must not keep pointing at the list freed below; give it back
    // the one the old holder still owns.
    (void)curl_easy_setopt(access.handle(), row->option, holder_slist(*field));
    return nullptr;
  }
  (void)list.release();
  Py_RETURN_NONE;
}

// Collects a form with curl_formadd and frees whatever was built unless the
// form is handed over.
class FormBuilder {
 public:
  FormBuilder() = default;
  FormBuilder(const FormBuilder&) = delete;
  FormBuilder& operator=(const FormBuilder&) = delete;
  ~FormBuilder() { curl_formfree(first_); }
  curl_httppost** first() noexcept { return &first_; }
  curl_httppost** last() noexcept { return &last_; }
  curl_httppost* get() const noexcept { return first_; }
  curl_httppost* release() noexcept {
    curl_httppost* post = first_;
    first_ = last_ = nullptr;
    return post;
  }

 private:
  curl_httppost* first_ = nullptr;
  curl_httppost* last_ = nullptr;
};

struct FormOption {
  long option;
  CURLformoption form_option;
  // Values that travel with a length keep their NUL bytes; the others are
  // C strings to libcurl, where a NUL would silently cut the value short.
  CURLformoption length_option;  // CURLFORM_NOTHING when none
  bool keep_reference;           // libcurl points into the bytes, no copy
};

constexpr FormOption kFormOptions[] = {
    {4, CURLFORM_COPYCONTENTS, CURLFORM_CONTENTSLENGTH, false},  // FORM_CONTENTS
    {10, CURLFORM_FILE, CURLFORM_NOTHING, false},                // FORM_FILE
    {11, CURLFORM_BUFFER, CURLFORM_NOTHING, false},              // FORM_BUFFER
    {12, CURLFORM_BUFFERPTR, CURLFORM_BUFFERLENGTH, true},       // FORM_BUFFERPTR
    {14, CURLFORM_CONTENTTYPE, CURLFORM_NOTHING, false},         // FORM_CONTENTTYPE
    {16, CURLFORM_FILENAME, CURLFORM_NOTHING, false},            // FORM_FILENAME
};
static_assert(options_unique(kFormOptions));

// In a CURLFORM_ARRAY, the length records carry the number in the value
// pointer itself.
const char* form_length(Py_ssize_t len) {
  return reinterpret_cast<const char*>(static_cast<std::intptr_t>(len));
}

// Adds one (name, [option, value, ...]) item. Returns 0 or -1.
int form_add_options(CurlObject* self, FormBuilder& form, Ref& reflist, const char* name,
                     Py_ssize_t name_len, PyObject* options, int which) {
  Py_ssize_t count = PyListOrTuple_Size(options, which);
  if (count < 2) {
    PyErr_SetString(PyExc_TypeError,
                    "list or tuple must contain at least one option and one value");
    return -1;
  }
  if (count % 2 != 0) {
    PyErr_SetString(PyExc_TypeError, "list or tuple must contain an even number of items");
    return -1;
  }
  std::unique_ptr<curl_forms[]> records(new (std::nothrow) curl_forms[count * 2 + 1]);
  std::unique_ptr<Ref[]> encodings(new (std::nothrow) Ref[count / 2]);
  if (!records || !encodings) {
    PyErr_NoMemory();
    return -1;
  }
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < count; i += 2) {
    Ref option = list_or_tuple_item(options, i, which);
    if (!option) return -1;
    Ref value = list_or_tuple_item(options, i + 1, which);
    if (!value) return -1;
    if (!PyLong_Check(option.get())) {
      PyErr_SetString(PyExc_TypeError, "option must be an integer");
      return -1;
    }
    if (!PyText_Check(value.get())) {
      PyErr_SetString(PyExc_TypeError,
                      "value must be a byte string or a Unicode string with ASCII code points only");
      return -1;
    }
    long number = PyLong_AsLong(option.get());
    if (number == -1 && PyErr_Occurred()) PyErr_Clear();
    const FormOption* row = find_option(kFormOptions, number);
    if (row == nullptr) {
      PyErr_SetString(PyExc_TypeError, "unsupported option");
      return -1;
    }
    Ref& encoded = encodings[i / 2];
    char* data = nullptr;
    Py_ssize_t len = 0;
    bool counted = row->length_option != CURLFORM_NOTHING;
    if (PyText_AsStringAndSize(value.get(), &data, counted ? &len : nullptr, &encoded) < 0)
      return -1;
    records[n++] = {row->form_option, data};
    if (counted) records[n++] = {row->length_option, form_length(len)};
    if (row->keep_reference) {
      if (!reflist) {
        reflist = Ref::steal(PyList_New(0));
        if (!reflist) return -1;
      }
      if (PyList_Append(reflist.get(), encoded ? encoded.get() : value.get()) < 0) return -1;
    }
  }
  records[n] = {CURLFORM_END, nullptr};
  CURLFORMcode res = curl_formadd(form.first(), form.last(), CURLFORM_COPYNAME, name,
                                  CURLFORM_NAMELENGTH, static_cast<long>(name_len),
                                  CURLFORM_ARRAY, records.get(), CURLFORM_END);
  if (res != CURL_FORMADD_OK) {
    create_and_set_error_object(self, res);
    return -1;
  }
  return 0;
}

// Adds one (name, value) or (name, options) item. Returns 0 or -1.
int form_add_item(CurlObject* self, FormBuilder& form, Ref& reflist, PyObject* item) {
  int which = PyListOrTuple_Check(item);
  if (which == 0) {
    PyErr_SetString(PyExc_TypeError, "list items must be list or tuple objects");
    return -1;
  }
  if (PyListOrTuple_Size(item, which) != 2) {
    PyErr_SetString(PyExc_TypeError, "list or tuple must contain two elements (name, value)");
    return -1;
  }
  Ref name_obj = list_or_tuple_item(item, 0, which);
  if (!name_obj) return -1;
  Ref value = list_or_tuple_item(item, 1, which);
  if (!value) return -1;

  char* name = nullptr;
  Py_ssize_t name_len = 0;
  Ref name_encoded;
  if (!PyText_Check(name_obj.get()) ||
      PyText_AsStringAndSize(name_obj.get(), &name, &name_len, &name_encoded) < 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "list or tuple must contain a byte string or Unicode string with ASCII "
                    "code points only as first element");
    return -1;
  }

  if (PyText_Check(value.get())) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    Ref encoded;
    if (PyText_AsStringAndSize(value.get(), &data, &len, &encoded) < 0) {
      PyErr_Clear();
      create_and_set_error_object(self, CURLE_BAD_FUNCTION_ARGUMENT);
      return -1;
    }
    CURLFORMcode res = curl_formadd(form.first(), form.last(), CURLFORM_COPYNAME, name,
                                    CURLFORM_NAMELENGTH, static_cast<long>(name_len),
                                    CURLFORM_COPYCONTENTS, data, CURLFORM_CONTENTSLENGTH,
                                    static_cast<long>(len), CURLFORM_END);
    if (res != CURL_FORMADD_OK) {
      create_and_set_error_object(self, res);
      return -1;
    }
    return 0;
  }
  int value_which = PyListOrTuple_Check(value.get());
  if (value_which != 0)
    return form_add_options(self, form, reflist, name, name_len, value.get(), value_which);
  PyErr_SetString(PyExc_TypeError, "unsupported second type in tuple");
  return -1;
}

PyObject* do_curl_setopt_httppost(const CurlAccess& access, int which, PyObject* sequence) {
  CurlObject* self = access.curl();
  if (PyErr_WarnEx(PyExc_DeprecationWarning, "HTTPPOST is deprecated; use MIMEPOST", 1) < 0)
    return nullptr;
  Py_ssize_t count = PyListOrTuple_Size(sequence, which);
  if (count <= 0) Py_RETURN_NONE;

  FormBuilder form;
  Ref reflist;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = list_or_tuple_item(sequence, i, which);
    if (!item) return nullptr;
    if (form_add_item(self, form, reflist, item.get()) < 0) return nullptr;
  }

  // HTTPPOST and MIMEPOST exclude each other; libcurl lets go of the document
  // before the module does.
  if (self->mime != nullptr) {
    CURLcode res = curl_easy_setopt(access.handle(), CURLOPT_MIMEPOST, static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
  }
  CURLcode res = curl_easy_setopt(access.handle(), CURLOPT_HTTPPOST, form.get());
  if (res != CURLE_OK) {
    create_and_set_error_object(self, res);
    return nullptr;
  }
  curl_release(self, RELEASE_MIME, nullptr);
  if (util_curlhttppost_update(self, form.get(), reflist.get()) < 0) {
    // Pointing libcurl back at the form it had cannot fail.
    (void)curl_easy_setopt(access.handle(), CURLOPT_HTTPPOST, holder_httppost(self->httppost));
    return nullptr;
  }
  (void)form.release();
  (void)reflist.release();
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Resets
// ---------------------------------------------------------------------------

// The resets of the options that are not strings; a string option's is in
// its row of kStringOptions.
enum class ResetKind : unsigned char { long_value, httppost, mime, share };

struct ResetOption {
  CURLoption option;
  ResetKind kind;
  long value;
};

constexpr ResetOption kResetOptions[] = {
    // The module has no constant for libcurl's long INFILESIZE, only for the
    // 64-bit one, which cannot be reset.
    {CURLOPT_INFILESIZE, ResetKind::long_value, -1},
    {CURLOPT_CERTINFO, ResetKind::long_value, 0},
    {CURLOPT_HTTPPOST, ResetKind::httppost, 0},
    {CURLOPT_MIMEPOST, ResetKind::mime, 0},
    {CURLOPT_SHARE, ResetKind::share, 0},
};
static_assert(options_unique(kResetOptions));

// WRITEHEADER stands for HEADERFUNCTION in this module (a file object given
// for it becomes the header callable), and libcurl's header data pointer is
// how the header trampoline finds its handle: nulling only the pointer would
// leave a callable behind that fails every later transfer. So it resets like
// HEADERFUNCTION.
constexpr int kWriteHeader = CURLOPT_HEADERDATA;

PyObject* util_curl_unsetopt(const CurlAccess& access, int option) {
  CurlObject* self = access.curl();
  if (option == kWriteHeader) option = CURLOPT_HEADERFUNCTION;

  if (const StringOption* row = find_option(kStringOptions, option);
      row != nullptr && row->reset == StringReset::null) {
    CURLcode res = curl_easy_setopt(access.handle(), row->option, static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  // libcurl is told first; the Python side lets go only once libcurl no
  // longer points at the data.
  if (const ResetOption* row = find_option(kResetOptions, option)) {
    // A share is let go of under its own mutex, libcurl's part included.
    if (row->kind == ResetKind::share && self->share != nullptr) {
      if (share_unset_easy(access) < 0) return nullptr;
      Py_RETURN_NONE;
    }
    CURLcode res = row->kind == ResetKind::long_value
                       ? curl_easy_setopt(access.handle(), row->option, row->value)
                       : curl_easy_setopt(access.handle(), row->option,
                                          static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
    switch (row->kind) {
      case ResetKind::httppost:
        curl_release(self, RELEASE_HTTPPOST, nullptr);
        break;
      case ResetKind::mime:
        curl_release(self, RELEASE_MIME, nullptr);
        break;
      case ResetKind::share:
      case ResetKind::long_value:
        break;
    }
    Py_RETURN_NONE;
  }
  if (const ListOption* row = find_option(kListOptions, option)) {
    CURLcode res = curl_easy_setopt(access.handle(), row->option, static_cast<void*>(nullptr));
    if (res != CURLE_OK) {
      create_and_set_error_object(self, res);
      return nullptr;
    }
    Ref previous = Ref::steal(self->*row->field);
    self->*row->field = nullptr;
    Py_RETURN_NONE;
  }
  if (const CallbackOption* row = find_option(kCallbackOptions, option))
    return unsetopt_callable(access, *row);
  PyErr_SetString(PyExc_TypeError, "unsetopt() is not supported for this option");
  return nullptr;
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

bool takes_memoryview(int option) {
  const CallbackOption* row = find_option(kCallbackOptions, option);
  return row != nullptr && (row->flags & CB_MEMORYVIEW) != 0;
}

// The caller holds the handle (CurlAccess).
PyObject* setopt_claimed(const CurlAccess& access, int option, PyObject* value,
                         int use_memoryview) {
  if (!option_in_range(option)) return invalid_arguments("setopt");
  if (use_memoryview != -1 && !takes_memoryview(option)) {
    PyErr_SetString(PyExc_TypeError,
                    "use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION");
    return nullptr;
  }

  if (value == Py_None) return util_curl_unsetopt(access, option);
  if (PyText_Check(value)) return do_curl_setopt_string_impl(access, option, value);
  if (PyLong_Check(value)) return do_curl_setopt_int(access, option, value);
  if (int which = PyListOrTuple_Check(value)) {
    if (option == CURLOPT_HTTPPOST) return do_curl_setopt_httppost(access, which, value);
    return do_curl_setopt_list(access, option, which, value);
  }
  if (PyCallable_Check(value))
    return do_curl_setopt_callable(access, option, value, use_memoryview);
  switch (option) {
    case CURLOPT_WRITEDATA:
    case CURLOPT_READDATA:
    case CURLOPT_HEADERDATA:
      return curl_setopt_filelike_claimed(access, option, value);
    case CURLOPT_MIMEPOST:
      return do_curl_setopt_mimepost(access, value);
    case CURLOPT_SHARE:
      return do_curl_setopt_share(access, value);
    default:
      return invalid_arguments("setopt");
  }
}

struct FilelikeOption {
  CURLoption option;
  CURLoption function_option;
};

constexpr FilelikeOption kFilelikeOptions[] = {
    {CURLOPT_WRITEDATA, CURLOPT_WRITEFUNCTION},
    {CURLOPT_READDATA, CURLOPT_READFUNCTION},
    {CURLOPT_HEADERDATA, CURLOPT_HEADERFUNCTION},
};

// ---------------------------------------------------------------------------
// Notes on refused values
// ---------------------------------------------------------------------------

// The values that setopt accepts for an option, in words: libcurl's type of
// the option's argument as its option table gives it, and the module's own
// rules for the few options that take objects.
const char* accepted_values(const curl_easyoption* opt) {
  switch (opt->id) {
    case CURLOPT_WRITEDATA:
      return "an object with a write method (a file opened for writing in binary mode, "
             "io.BytesIO); setting WRITEFUNCTION to None lets go of it";
    case CURLOPT_HEADERDATA:
      return "an object with a write method (a file opened for writing in binary mode, "
             "io.BytesIO), or None";
    case CURLOPT_READDATA:
      return "an object with a read method (a file opened for reading in binary mode, "
             "io.BytesIO); setting READFUNCTION to None lets go of it";
    case CURLOPT_MIMEPOST:
      return "a CurlMime made with this Curl, or None";
    case CURLOPT_SHARE:
      return "a CurlShare, or None";
    case CURLOPT_HTTPPOST:
      return "a list or tuple of form fields, or None";
    default:
      break;
  }
  // The module's tables first: libcurl types POSTFIELDS as an object.
  if (find_option(kStringOptions, opt->id) != nullptr)
    return "bytes, or a str of ASCII characters only";
  if (find_option(kListOptions, opt->id) != nullptr)
    return "a list or tuple of bytes or ASCII-only str, or None";
  if (find_option(kCallbackOptions, opt->id) != nullptr) return "a callable, or None";
  switch (opt->type) {
    case CURLOT_LONG:
    case CURLOT_VALUES:
    case CURLOT_OFF_T:
      return "an int";
    case CURLOT_STRING:
    case CURLOT_BLOB:
      return "bytes, or a str of ASCII characters only";
    case CURLOT_SLIST:
      return "a list or tuple of bytes or ASCII-only str, or None";
    case CURLOT_FUNCTION:
      return "a callable, or None";
    case CURLOT_OBJECT:
    case CURLOT_CBPTR:
      break;
  }
  return "no value from Python (the module sets it itself)";
}

bool is_int_option(const curl_easyoption* opt) {
  return opt->type == CURLOT_LONG || opt->type == CURLOT_VALUES || opt->type == CURLOT_OFF_T;
}

// What libcurl accepts of the numbers it checks, for the note on a number
// it refused: a range, or the family of module constants naming the values
// of an enumerated option. Read on the error path only.
struct NumberRule {
  CURLoption option;
  long long low, high;     // the range, where family is null
  const char* family;      // the constants' common prefix
};

constexpr long long kNoLimit = std::numeric_limits<long long>::max();

constexpr NumberRule kNumberRules[] = {
    {CURLOPT_PORT, 0, 65535, nullptr},
    {CURLOPT_LOCALPORT, 0, 65535, nullptr},
    {CURLOPT_LOCALPORTRANGE, 0, 65535, nullptr},
    {CURLOPT_PROXYPORT, 0, 65535, nullptr},
    {CURLOPT_TIMEOUT, 0, kNoLimit, nullptr},
    {CURLOPT_TIMEOUT_MS, 0, kNoLimit, nullptr},
    {CURLOPT_CONNECTTIMEOUT, 0, kNoLimit, nullptr},
    {CURLOPT_CONNECTTIMEOUT_MS, 0, kNoLimit, nullptr},
    {CURLOPT_ACCEPTTIMEOUT_MS, 0, kNoLimit, nullptr},
    {CURLOPT_SERVER_RESPONSE_TIMEOUT, 0, kNoLimit, nullptr},
    {CURLOPT_SERVER_RESPONSE_TIMEOUT_MS, 0, kNoLimit, nullptr},
    {CURLOPT_LOW_SPEED_LIMIT, 0, kNoLimit, nullptr},
    {CURLOPT_LOW_SPEED_TIME, 0, kNoLimit, nullptr},
    {CURLOPT_MAXCONNECTS, 0, kNoLimit, nullptr},
    {CURLOPT_MAXREDIRS, -1, kNoLimit, nullptr},
    {CURLOPT_DNS_CACHE_TIMEOUT, -1, kNoLimit, nullptr},
    {CURLOPT_BUFFERSIZE, 1024, 10485760, nullptr},
    {CURLOPT_UPLOAD_BUFFERSIZE, 16384, 2097152, nullptr},
    {CURLOPT_MAXFILESIZE_LARGE, 0, kNoLimit, nullptr},
    {CURLOPT_RESUME_FROM_LARGE, -1, kNoLimit, nullptr},
    {CURLOPT_HTTP_VERSION, 0, 0, "CURL_HTTP_VERSION_"},
    {CURLOPT_SSLVERSION, 0, 0, "SSLVERSION_"},
    {CURLOPT_PROXY_SSLVERSION, 0, 0, "SSLVERSION_"},
    {CURLOPT_PROXYTYPE, 0, 0, "PROXYTYPE_"},
    {CURLOPT_IPRESOLVE, 0, 0, "IPRESOLVE_"},
    {CURLOPT_NETRC, 0, 0, "NETRC_"},
    {CURLOPT_USE_SSL, 0, 0, "USESSL_"},
    {CURLOPT_FTP_FILEMETHOD, 0, 0, "FTPMETHOD_"},
    {CURLOPT_FTPSSLAUTH, 0, 0, "FTPAUTH_"},
    {CURLOPT_RTSP_REQUEST, 0, 0, "RTSPREQ_"},
    {CURLOPT_TIMECONDITION, 0, 0, "TIMECONDITION_"},
};
static_assert(options_unique(kNumberRules));

// "CURL_HTTP_VERSION_NONE (0), CURL_HTTP_VERSION_1_0 (1), ..." from the
// module's constant tables; the *_LAST markers name no value.
Ref family_listing(const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  Ref parts = Ref::steal(PyList_New(0));
  if (!parts) return {};
  for (const ConstantTable& table : kConstantTables) {
    for (std::size_t i = 0; i < table.count; ++i) {
      const Constant& row = table.rows[i];
      if (std::strncmp(row.name, prefix, length) != 0 || std::strstr(row.name, "_LAST") != nullptr)
        continue;
      Ref item = Ref::steal(PyUnicode_FromFormat("%s (%lld)", row.name, row.value));
      if (!item || PyList_Append(parts.get(), item.get()) < 0) return {};
    }
  }
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  if (!separator) return {};
  return Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
}

// libcurl refused a number (kelvex.error): the note names the option and
// what it takes, where the module knows that.
void note_refused_number(const curl_easyoption* opt, PyObject* value) {
  const NumberRule* rule = find_option(kNumberRules, opt->id);
  if (rule == nullptr) {
    add_note_to_raised("libcurl refused %R for CURLOPT_%s: see the curl_easy_setopt man page "
                       "CURLOPT_%s(3) for its values",
                       value, opt->name, opt->name);
  } else if (rule->family != nullptr) {
    // The listing is best effort: the exception raised must stay libcurl's.
    PendingExceptionSaver saved;
    Ref listing = family_listing(rule->family);
    PyErr_Clear();
    saved.restore();
    if (listing) {
      add_note_to_raised("CURLOPT_%s takes one of kelvex.%s*: %U", opt->name, rule->family,
                         listing.get());
    }
  } else if (rule->high == kNoLimit) {
    add_note_to_raised("CURLOPT_%s takes %lld or more", opt->name, rule->low);
  } else {
    add_note_to_raised("CURLOPT_%s takes %lld..%lld", opt->name, rule->low, rule->high);
  }
}

// A refused setopt value (TypeError, ValueError, OverflowError, or libcurl's
// own refusal of a number) gets a note naming the option, what it takes, and
// the usual fix for the mistake made. Runs on the error path only.
void note_refused_value(int option, PyObject* value) {
  if (PyLong_Check(value) && PyErr_ExceptionMatches(kx.ErrorObject)) {
    if (const curl_easyoption* opt = curl_easy_option_by_id(static_cast<CURLoption>(option));
        opt != nullptr && is_int_option(opt)) {
      note_refused_number(opt, value);
    }
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError))
    return;
  const curl_easyoption* opt = curl_easy_option_by_id(static_cast<CURLoption>(option));
  if (opt == nullptr) {
    add_note_to_raised("%d is not a libcurl option number: pass one of the option constants, "
                       "such as kelvex.URL",
                       option);
    return;
  }
  const char* takes = accepted_values(opt);
  if (PyUnicode_Check(value) && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    add_note_to_raised("CURLOPT_%s takes %s: for other text pass bytes, such as text.encode()",
                       opt->name, takes);
  } else if (PyUnicode_Check(value) &&
             (option == CURLOPT_WRITEDATA || option == CURLOPT_HEADERDATA ||
              option == CURLOPT_READDATA)) {
    add_note_to_raised("CURLOPT_%s takes %s: to use the file named %R, pass the open file, "
                       "such as open(name, \"%s\")",
                       opt->name, takes, value, option == CURLOPT_READDATA ? "rb" : "wb");
  } else if (PyFloat_Check(value) && is_int_option(opt)) {
    char millis[64];
    const int n = std::snprintf(millis, sizeof(millis), "%s_MS", opt->name);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof(millis) &&
        curl_easy_option_by_name(millis) != nullptr) {
      add_note_to_raised("CURLOPT_%s takes %s: for a fraction of a second use CURLOPT_%s, which "
                         "takes milliseconds",
                         opt->name, takes, millis);
    } else {
      add_note_to_raised("CURLOPT_%s takes %s, not a float", opt->name, takes);
    }
  } else {
    add_note_to_raised("CURLOPT_%s takes %s", opt->name, takes);
  }
}

// Objects that libcurl reads without copying and that a duplicate shares
// with its source (the duplicate's libcurl handle points at the same data).
constexpr ObjectField kSharedDataFields[] = {
    &CurlObject::postfields,
    &CurlObject::ca_certs,
    &CurlObject::httpheader,
    &CurlObject::proxyheader,
    &CurlObject::http200aliases,
    &CurlObject::quote,
    &CurlObject::postquote,
    &CurlObject::prequote,
    &CurlObject::telnetoptions,
    &CurlObject::resolve,
    &CurlObject::mail_rcpt,
    &CurlObject::connect_to,
    &CurlObject::httppost,
};

}  // namespace

// ---------------------------------------------------------------------------
// Routines offered to other files
// ---------------------------------------------------------------------------

// Gives `copy`, whose handle libcurl duplicated from `source`'s, the Python
// side of the source: its error buffer and private pointer, a copy of its
// attributes, its callables with their user data pointed at the copy, and
// the data libcurl reads without copying. The document is the caller's.
int util_curl_adopt_copy(CurlObject* source, CurlObject* copy, CURL* handle) {
  // libcurl's copy keeps pointing the error buffer and the private pointer
  // at the source until told otherwise.
  if (curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, copy->error) != CURLE_OK) return -1;
  std::memset(copy->error, 0, sizeof(copy->error));
  if (curl_easy_setopt(handle, CURLOPT_PRIVATE, copy) != CURLE_OK) return -1;
  if (source->dict != nullptr) {
    copy->dict = PyDict_Copy(source->dict);
    if (copy->dict == nullptr) return -1;
  }

  // The trampolines find their object through the user-data pointers, which
  // libcurl copied still pointing at the source. Setting a user-data pointer
  // (or SSL_CTX_DATA below) only stores it: libcurl cannot refuse it.
  for (std::size_t row = 0; row < kCallbackCount; ++row) {
    PyObject* callable = source->callables[row];
    if (callable == nullptr) continue;
    copy->callables[row] = Py_NewRef(callable);
    if (kCallbackOptions[row].flags & CB_TOKEN_DATA) {
      closesocket_link(copy, handle);
    } else {
      (void)curl_easy_setopt(handle, kCallbackOptions[row].data_option, copy);
    }
  }
  // The source's body may be collected by an EventCore right now (and a
  // pushed stream's handle is a copy too): the copy must not inherit the
  // core's write function, whose data is the core's record.
  curl_restore_write_target(copy, handle);
  copy->noprogress = source->noprogress;
  copy->pipewait_chosen = source->pipewait_chosen;  // libcurl copies PIPEWAIT itself
  copy->pipewait_by_core = source->pipewait_by_core;
  copy->mime_closed = source->mime_closed;
  (void)install_progress_trampoline(copy, handle);
  copy->memoryview_rows = source->memoryview_rows;

  for (ObjectField field : kSharedDataFields) copy->*field = Py_XNewRef(source->*field);
  if (copy->ca_certs != nullptr) {
    (void)curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, copy);
  }
  return 0;
}

void util_curl_give_back(CurlObject* source, CurlObject* copy, CURL* handle) {
  if (!copy->handle.open()) return;
  assert(copy->handle.is(handle));
  // The callable may have tied the copy to a share or a document: libcurl
  // lets go of them while the copy can still tell it to, since the copy's
  // references to them may be the last ones.
  share_detach_easy(copy, handle);
  curl_release_mime(copy, handle);
  copy->handle.forget();
  // Storing a pointer cannot fail.
  (void)curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, source->error);
  (void)curl_easy_setopt(handle, CURLOPT_PRIVATE, source);
  // A token stays the copy's, which closesocket_unlink below makes one
  // that no handle answers to.
  for (std::size_t row = 0; row < kCallbackCount; ++row) {
    const CallbackOption& option = kCallbackOptions[row];
    if (copy->callables[row] != nullptr && !(option.flags & CB_TOKEN_DATA))
      (void)curl_easy_setopt(handle, option.data_option, source);
  }
  // The progress trampoline's data, whatever callables are set.
  (void)curl_easy_setopt(handle, CURLOPT_XFERINFODATA, source);
  // A close of the copy's token that comes later finds no handle and just
  // closes the socket.
  closesocket_unlink(copy);
  if (copy->ca_certs != nullptr) (void)curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, source);
}

PyObject* curl_setopt_filelike_claimed(const CurlAccess& access, int option, PyObject* obj) {
  bool wants_read = option == CURLOPT_READDATA;
  Ref method = Ref::steal(PyObject_GetAttr(obj, wants_read ? kx.str_read : kx.str_write));
  if (!method) {
    // Running out of memory is not a missing method: MemoryError stays.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_SetString(PyExc_TypeError, wants_read ? "object given without a read method"
                                                : "object given without a write method");
    return nullptr;
  }
  const FilelikeOption* row = find_option(kFilelikeOptions, option);
  if (row == nullptr) {
    PyErr_SetString(PyExc_TypeError, "objects are not supported for this option");
    return nullptr;
  }
  // Re-enters the whole dispatch, number checks included, exactly as
  // setopt(function_option, bound_method) would.
  return setopt_claimed(access, row->function_option, method.get(), -1);
}

void curl_restore_write_target(CurlObject* self, CURL* handle) {
  if (!self->handle.open()) return;
  assert(self->handle.is(handle));
  // Neither call can fail for an open handle.
  if (curl_callable<CURLOPT_WRITEFUNCTION>(self) != nullptr) {
    (void)curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &write_callback);
    (void)curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(self));
  } else {
    (void)curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION,
                           static_cast<curl_write_callback>(nullptr));
    (void)curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(stdout));
  }
}

void restore_write_callable(const CurlAccess& access, Ref previous, int use_memoryview) {
  CurlObject* self = access.curl();
  constexpr std::size_t row = callback_row(CURLOPT_WRITEFUNCTION);
  // Dropped last: releasing the body's writer may run Python code, which
  // finds the field and libcurl agreeing.
  Ref installed = Ref::steal(self->callables[row]);
  if (!previous) {
    // Back to libcurl's default target.
    self->callables[row] = nullptr;
    curl_restore_write_target(self, access.handle());
    return;
  }
  // libcurl still calls write_callback with this object: only the callable
  // it reaches changes.
  self->callables[row] = previous.release();
  curl_set_memoryview(self, row, use_memoryview != 0);
}

PyObject* do_curl_setopt(CurlObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int option = 0;
  PyObject* value = nullptr;
  int use_memoryview = -1;
  // The keyword parser words a third positional argument alone as "exactly
  // 2"; setopt says "at most 2" (the tuple parser's words), since the
  // third argument may come as a keyword.
  if (nargs == 3 && kwnames == nullptr) {
    PyErr_Format(PyExc_TypeError, "setopt() takes at most 2 positional arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  if (!parse_keywords<decl::curl_setopt>(args, nargs, kwnames, &option, &value,
                                         &use_memoryview))
    return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "setopt");
  if (!access) return nullptr;
  ErrorBufferScope error(self);
  PyObject* done = setopt_claimed(access, option, value, use_memoryview);
  if (done == nullptr) note_refused_value(option, value);
  return done;
}

PyObject* do_curl_unsetopt(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  int option = 0;
  if (!parse<decl::curl_unsetopt>(args, nargs, &option)) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "unsetopt");
  if (!access) return nullptr;
  if (!option_in_range(option)) return invalid_arguments("unsetopt");
  ErrorBufferScope error(self);
  return util_curl_unsetopt(access, option);
}

PyObject* do_curl_setopt_string(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  int option = 0;
  PyObject* value = nullptr;
  if (!parse<decl::curl_setopt_string>(args, nargs, &option, &value)) return nullptr;
  CurlAccess access(self, CHECK_HANDLE, "setopt");
  if (!access) return nullptr;
  ErrorBufferScope error(self);
  PyObject* done = PyText_Check(value) ? do_curl_setopt_string_impl(access, option, value)
                                       : invalid_arguments("setopt_string");
  if (done == nullptr) note_refused_value(option, value);
  return done;
}

PyObject* do_curl_set_ca_certs(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* cadata = nullptr;
  if (!parse<decl::curl_set_ca_certs>(args, nargs, &cadata)) return nullptr;
  // The TLS-context callback reads ca_certs during a transfer; replacing it
  // then would free what the callback is reading.
  CurlAccess access(self, CHECK_HANDLE, "set_ca_certs");
  if (!access) return nullptr;
  ErrorBufferScope error(self);
  char* data = nullptr;
  Py_ssize_t len = 0;
  Ref encoded;
  if (!PyText_Check(cadata) || PyText_AsStringAndSize(cadata, &data, &len, &encoded) < 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "set_ca_certs argument must be a byte string or a Unicode string with ASCII "
                    "code points only");
    return nullptr;
  }
  curl_release(self, RELEASE_CA_CERTS, access.handle());
  self->ca_certs = encoded ? encoded.release() : Py_NewRef(cadata);

  CURLcode res = curl_easy_setopt(access.handle(), CURLOPT_SSL_CTX_FUNCTION, ssl_ctx_callback);
  if (res == CURLE_OK)
    res = curl_easy_setopt(access.handle(), CURLOPT_SSL_CTX_DATA, static_cast<void*>(self));
  // libcurl may give every TLS context of a multi one cached certificate
  // store; the callback adds to the context's store, which would then make
  // these certificates trusted by the other handles too. Without the cache
  // each context of this handle gets a store of its own.
  if (res == CURLE_OK) res = curl_easy_setopt(access.handle(), CURLOPT_CA_CACHE_TIMEOUT, 0L);
  if (res != CURLE_OK) {
    curl_release(self, RELEASE_CA_CERTS, access.handle());
    create_and_set_error_object(self, res);
    return nullptr;
  }
  Py_RETURN_NONE;
}
