// libcurl's HSTS trampolines of the easy handle: Python code feeds entries
// into libcurl's cache when libcurl loads it, and receives every entry when
// libcurl saves it (when the handle is cleaned up).
#include "callbacks.h"

#include "access.h"
#include "easy.h"
#include "globals.h"

#include <cstdio>

namespace {

// libcurl's expiry text: "YYYYMMDD HH:MM:SS", with the terminating NUL in the
// last byte of the field.
constexpr char kExpireFormat[] = "%Y%m%d %H:%M:%S";
// strptime needs the zone spelled out to give back an aware datetime.
constexpr char kExpireParseFormat[] = "%Y%m%d %H:%M:%S%z";
constexpr std::size_t kExpireFieldSize = sizeof(curl_hstsentry::expire);
static_assert(kExpireFieldSize == 18, "libcurl's HSTS expiry field changed size");

// What libcurl writes for an entry that never expires.
constexpr char kUnlimitedExpire[] = "unlimited";

// Writes the expiry text for `value` (None or a datetime) into `field`.
// Returns 0, or -1 with an exception set.
int hsts_format_expire(PyObject* value, char (&field)[kExpireFieldSize]) {
  if (value == Py_None) {
    field[0] = '\0';
    return 0;
  }
  const int is_datetime = PyObject_IsInstance(value, kx.datetime_type);
  if (is_datetime < 0) return -1;
  if (is_datetime == 0) {
    set_error_text("hstsread callback: expire must be a datetime or None");
    return -1;
  }
  Ref tzinfo = Ref::steal(PyObject_GetAttr(value, kx.str_tzinfo));
  if (!tzinfo) return -1;
  // libcurl reads the stamp as UTC; a naive value is taken to be UTC already.
  Ref utc = Ref::borrow(value);
  if (tzinfo.get() != Py_None) {
    utc = Ref::steal(PyObject_CallMethodOneArg(value, kx.str_astimezone, kx.utc_tz));
    if (!utc) return -1;
  }
  Ref format = Ref::steal(PyUnicode_FromString(kExpireFormat));
  if (!format) return -1;
  Ref text = Ref::steal(PyObject_CallMethodOneArg(utc.get(), kx.str_strftime, format.get()));
  if (!text) return -1;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
  if (utf8 == nullptr) return -1;
  if (static_cast<std::size_t>(len) >= kExpireFieldSize) {
    set_error_text("hstsread callback: formatted expire does not fit in libcurl's buffer");
    return -1;
  }
  std::memcpy(field, utf8, static_cast<std::size_t>(len));
  field[len] = '\0';
  return 0;
}

// The host element as libcurl wants it: a C string without embedded NUL
// (libcurl measures the name with strlen, so anything after a NUL would be
// dropped silently) and not empty (libcurl refuses an entry without a name
// only after asserting on it). Returns null with an exception set.
const char* hsts_host(PyObject* host, Ref* encoded, std::size_t* len) {
  if (!PyText_Check(host)) {
    PyErr_Format(PyExc_TypeError, "hstsread callback: host must be bytes or str, not %.200s",
                 Py_TYPE(host)->tp_name);
    return nullptr;
  }
  const char* name = PyText_AsString_NoNUL(host, encoded);
  if (name == nullptr) return nullptr;
  *len = std::strlen(name);
  if (*len == 0) {
    set_error_text("hstsread callback: host must not be empty");
    return nullptr;
  }
  return name;
}

// The read callable's result as one entry. Nothing reaches `entry` unless
// every element converted; returns -1 with an exception set otherwise.
int fill_entry(PyObject* result, curl_hstsentry* entry) {
  if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 3) {
    set_error_text(
        "hstsread callback must return None or a 3-tuple (host, expire, include_subdomains)");
    return -1;
  }
  // The tuple keeps its elements alive; it cannot change under us.
  PyObject* host = PyTuple_GET_ITEM(result, 0);
  PyObject* expire = PyTuple_GET_ITEM(result, 1);
  PyObject* include_subdomains = PyTuple_GET_ITEM(result, 2);

  Ref encoded;
  std::size_t len = 0;
  const char* name = hsts_host(host, &encoded, &len);
  if (name == nullptr) return -1;
  // namelen arrives as the room in libcurl's buffer, its NUL not counted.
  if (len > entry->namelen) {
    set_error_format("hstsread callback: host length %zd exceeds libcurl maximum %zu",
                 static_cast<Py_ssize_t>(len), entry->namelen);
    return -1;
  }
  // The whole field is written, not just up to the NUL: libcurl refuses an
  // entry (CURLE_BAD_FUNCTION_ARGUMENT) when bytes are left after an empty
  // stamp, so leftovers of its own buffer would make "no expiry" fail at
  // random.
  char stamp[kExpireFieldSize] = {};
  if (hsts_format_expire(expire, stamp) < 0) return -1;
  const int truth = PyObject_IsTrue(include_subdomains);
  if (truth < 0) return -1;

  std::memcpy(entry->name, name, len);
  entry->name[len] = '\0';
  entry->namelen = len;
  entry->includeSubDomains = truth ? 1u : 0u;
  std::memcpy(entry->expire, stamp, sizeof(stamp));
  return 0;
}

// libcurl's expiry text as None or a UTC-aware datetime; null with an
// exception set.
PyObject* parse_expire(const curl_hstsentry* entry) {
  // The field is libcurl's, but a stamp without its NUL must not be read
  // past the end.
  const std::size_t len = strnlen(entry->expire, kExpireFieldSize);
  if (len == 0 || (len == sizeof(kUnlimitedExpire) - 1 &&
                   std::memcmp(entry->expire, kUnlimitedExpire, len) == 0)) {
    Py_RETURN_NONE;
  }
  // The stamp copied with its NUL, so that a field libcurl left unterminated
  // is neither read past its end nor passed on.
  char stamp[kExpireFieldSize + 1];
  std::memcpy(stamp, entry->expire, len);
  stamp[len] = '\0';
  char text[32];
  const int written = std::snprintf(text, sizeof(text), "%s+0000", stamp);
  if (len == kExpireFieldSize || written < 0 ||
      static_cast<std::size_t>(written) >= sizeof(text)) {
    set_error_format("libcurl returned an unparsable HSTS expire stamp: %s", stamp);
    return nullptr;
  }
  Ref py_text = Ref::steal(PyUnicode_FromStringAndSize(text, written));
  Ref format = Ref::steal(PyUnicode_FromString(kExpireParseFormat));
  if (!py_text || !format) return nullptr;
  PyObject* args[] = {kx.datetime_type, py_text.get(), format.get()};
  return PyObject_VectorcallMethod(kx.str_strptime, args, 3, nullptr);
}

// The write callable's result as libcurl's answer; -1 when it was refused
// (with an exception set, or with the "not an integer" line written).
int write_result_to_code(PyObject* result) {
  if (result == Py_None) return CURLSTS_OK;
  int value = 0;
  if (callback_return_value_to_int(result, "hstswrite", &value) < 0) return -1;
  switch (static_cast<unsigned>(value)) {
    case CURLSTS_OK:
    case CURLSTS_DONE:
    case CURLSTS_FAIL:
      return value;
    default:
      set_error_text("hstswrite callback returned an invalid CURLSTScode");
      return -1;
  }
}

}  // namespace

CURLSTScode hstsread_callback(CURL* /*easy*/, curl_hstsentry* entry, void* userdata) {
  constexpr auto failure = static_cast<CURLSTScode>(callback_failure(CURLOPT_HSTSREADFUNCTION));
  auto* self = static_cast<CurlObject*>(userdata);
  // duphandle() copies with its thread attached; the frame then runs on it.
  CallbackEntry frame(self, callback_row(CURLOPT_HSTSREADFUNCTION),
                      "hstsread_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;

  Ref result = call_callable(callable);
  if (!result) return callback_failed(failure);
  if (result.get() == Py_None) return CURLSTS_DONE;
  if (fill_entry(result.get(), entry) < 0) return callback_failed(failure);
  return CURLSTS_OK;
}

CURLSTScode hstswrite_callback(CURL* /*easy*/, curl_hstsentry* entry, curl_index* index,
                               void* userdata) {
  constexpr auto failure = static_cast<CURLSTScode>(callback_failure(CURLOPT_HSTSWRITEFUNCTION));
  auto* self = static_cast<CurlObject*>(userdata);
  CallbackEntry frame(self, callback_row(CURLOPT_HSTSWRITEFUNCTION),
                      "hstswrite_callback failed to acquire thread");
  if (!frame.ready()) return failure;
  PyObject* const callable = frame.callable();
  if (callable == nullptr) return failure;

  Ref expire = Ref::steal(parse_expire(entry));
  if (!expire) return callback_failed(failure);
  Ref host = Ref::steal(PyBytes_FromStringAndSize(entry->name,
                                                  static_cast<Py_ssize_t>(entry->namelen)));
  if (!host) return callback_failed(failure);
  PyObject* entry_args[] = {nullptr, host.get(), expire.get(),
                            entry->includeSubDomains ? Py_True : Py_False};
  Ref py_entry = Ref::steal(PyObject_Vectorcall(kx.hsts_entry_type, entry_args + 1,
                                                3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!py_entry) return callback_failed(failure);
  Ref idx = Ref::steal(PyLong_FromSize_t(index->index));
  Ref total = Ref::steal(PyLong_FromSize_t(index->total));
  if (!idx || !total) return callback_failed(failure);
  PyObject* index_args[] = {nullptr, idx.get(), total.get()};
  Ref py_index = Ref::steal(PyObject_Vectorcall(kx.hsts_index_type, index_args + 1,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!py_index) return callback_failed(failure);

  Ref result = call_callable(callable, py_entry.get(), py_index.get());
  if (!result) return callback_failed(failure);
  const int code = write_result_to_code(result.get());
  if (code < 0) {
    // A non-int result has had its line written and left nothing pending.
    if (exception_pending()) print_callback_error_if_regular_exception();
    return failure;
  }
  return static_cast<CURLSTScode>(code);
}
