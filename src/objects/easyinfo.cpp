// Transfer information: getinfo, getinfo_raw, errstr, errstr_raw.
#include "easy.h"

#include "access.h"
#include "docstrings.h"
#include "globals.h"

namespace {

// How a libcurl information value is fetched and converted.
enum class InfoGroup : unsigned char {
  long_value,
  double_value,
  deprecated_double,
  string,
  offset,
  string_list,
  certinfo,
  socket,
};

struct InfoRow {
  int option;
  InfoGroup group;
};

// Exactly the values getinfo accepts; anything else is refused even when
// libcurl knows it.
constexpr InfoRow kInfoTable[] = {
    {CURLINFO_RESPONSE_CODE, InfoGroup::long_value},
    {CURLINFO_HEADER_SIZE, InfoGroup::long_value},
    {CURLINFO_REQUEST_SIZE, InfoGroup::long_value},
    {CURLINFO_SSL_VERIFYRESULT, InfoGroup::long_value},
    {CURLINFO_FILETIME, InfoGroup::long_value},
    {CURLINFO_REDIRECT_COUNT, InfoGroup::long_value},
    {CURLINFO_HTTP_CONNECTCODE, InfoGroup::long_value},
    {CURLINFO_HTTPAUTH_AVAIL, InfoGroup::long_value},
    {CURLINFO_PROXYAUTH_AVAIL, InfoGroup::long_value},
    {CURLINFO_OS_ERRNO, InfoGroup::long_value},
    {CURLINFO_NUM_CONNECTS, InfoGroup::long_value},
    {CURLINFO_CONDITION_UNMET, InfoGroup::long_value},
    {CURLINFO_RTSP_CLIENT_CSEQ, InfoGroup::long_value},
    {CURLINFO_RTSP_SERVER_CSEQ, InfoGroup::long_value},
    {CURLINFO_RTSP_CSEQ_RECV, InfoGroup::long_value},
    {CURLINFO_PRIMARY_PORT, InfoGroup::long_value},
    {CURLINFO_LOCAL_PORT, InfoGroup::long_value},
    {CURLINFO_HTTP_VERSION, InfoGroup::long_value},
    {CURLINFO_PROXY_SSL_VERIFYRESULT, InfoGroup::long_value},
    {CURLINFO_PROXY_ERROR, InfoGroup::long_value},
    {CURLINFO_USED_PROXY, InfoGroup::long_value},
    {CURLINFO_HTTPAUTH_USED, InfoGroup::long_value},
    {CURLINFO_PROXYAUTH_USED, InfoGroup::long_value},

    {CURLINFO_TOTAL_TIME, InfoGroup::double_value},
    {CURLINFO_NAMELOOKUP_TIME, InfoGroup::double_value},
    {CURLINFO_CONNECT_TIME, InfoGroup::double_value},
    {CURLINFO_PRETRANSFER_TIME, InfoGroup::double_value},
    {CURLINFO_STARTTRANSFER_TIME, InfoGroup::double_value},
    {CURLINFO_REDIRECT_TIME, InfoGroup::double_value},
    {CURLINFO_APPCONNECT_TIME, InfoGroup::double_value},

    {CURLINFO_SIZE_UPLOAD, InfoGroup::deprecated_double},
    {CURLINFO_SIZE_DOWNLOAD, InfoGroup::deprecated_double},
    {CURLINFO_SPEED_DOWNLOAD, InfoGroup::deprecated_double},
    {CURLINFO_SPEED_UPLOAD, InfoGroup::deprecated_double},
    {CURLINFO_CONTENT_LENGTH_DOWNLOAD, InfoGroup::deprecated_double},
    {CURLINFO_CONTENT_LENGTH_UPLOAD, InfoGroup::deprecated_double},

    {CURLINFO_EFFECTIVE_URL, InfoGroup::string},
    {CURLINFO_CONTENT_TYPE, InfoGroup::string},
    {CURLINFO_FTP_ENTRY_PATH, InfoGroup::string},
    {CURLINFO_REDIRECT_URL, InfoGroup::string},
    {CURLINFO_PRIMARY_IP, InfoGroup::string},
    {CURLINFO_RTSP_SESSION_ID, InfoGroup::string},
    {CURLINFO_LOCAL_IP, InfoGroup::string},
    {CURLINFO_EFFECTIVE_METHOD, InfoGroup::string},
    {CURLINFO_SCHEME, InfoGroup::string},
    {CURLINFO_REFERER, InfoGroup::string},
    {CURLINFO_CAINFO, InfoGroup::string},
    {CURLINFO_CAPATH, InfoGroup::string},

    {CURLINFO_SIZE_UPLOAD_T, InfoGroup::offset},
    {CURLINFO_SIZE_DOWNLOAD_T, InfoGroup::offset},
    {CURLINFO_SPEED_DOWNLOAD_T, InfoGroup::offset},
    {CURLINFO_SPEED_UPLOAD_T, InfoGroup::offset},
    {CURLINFO_FILETIME_T, InfoGroup::offset},
    {CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, InfoGroup::offset},
    {CURLINFO_CONTENT_LENGTH_UPLOAD_T, InfoGroup::offset},
    {CURLINFO_TOTAL_TIME_T, InfoGroup::offset},
    {CURLINFO_NAMELOOKUP_TIME_T, InfoGroup::offset},
    {CURLINFO_CONNECT_TIME_T, InfoGroup::offset},
    {CURLINFO_PRETRANSFER_TIME_T, InfoGroup::offset},
    {CURLINFO_STARTTRANSFER_TIME_T, InfoGroup::offset},
    {CURLINFO_REDIRECT_TIME_T, InfoGroup::offset},
    {CURLINFO_APPCONNECT_TIME_T, InfoGroup::offset},
    {CURLINFO_QUEUE_TIME_T, InfoGroup::offset},
    {CURLINFO_POSTTRANSFER_TIME_T, InfoGroup::offset},
    {CURLINFO_EARLYDATA_SENT_T, InfoGroup::offset},
    {CURLINFO_RETRY_AFTER, InfoGroup::offset},
    {CURLINFO_XFER_ID, InfoGroup::offset},
    {CURLINFO_CONN_ID, InfoGroup::offset},
#if LIBCURL_VERSION_NUM >= 0x081600
    {CURLINFO_SIZE_DELIVERED, InfoGroup::offset},
#endif

    {CURLINFO_SSL_ENGINES, InfoGroup::string_list},
    {CURLINFO_COOKIELIST, InfoGroup::string_list},

    {CURLINFO_CERTINFO, InfoGroup::certinfo},

    {CURLINFO_ACTIVESOCKET, InfoGroup::socket},
    {CURLINFO_LASTSOCKET, InfoGroup::socket},
};

static_assert(options_unique(kInfoTable));

// Text handed out by libcurl, as bytes or as strictly decoded UTF-8.
PyObject* text_object(const char* text, Py_ssize_t len, bool decode) {
  return decode ? PyUnicode_DecodeUTF8(text, len, "strict") : PyBytes_FromStringAndSize(text, len);
}

// libcurl string list to a list of bytes; the list is libcurl's gift to the
// caller and is freed here whatever happens.
PyObject* info_slist_to_list(curl_slist* raw) {
  SlistPtr owned(raw);
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const curl_slist* node = owned.get(); node != nullptr; node = node->next) {
    Ref item = node->data != nullptr ? Ref::steal(PyBytes_FromString(node->data))
                                     : Ref::borrow(Py_None);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// A new list holding the items of a list of bytes decoded as strict UTF-8.
PyObject* decode_string_list(PyObject* raw) {
  const Py_ssize_t n = PyList_GET_SIZE(raw);
  Ref decoded = Ref::steal(PyList_New(n));
  if (!decoded) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(raw, i);  // the list is ours alone
    Ref text = item == Py_None
                   ? Ref::borrow(Py_None)
                   : Ref::steal(text_object(PyBytes_AS_STRING(item), PyBytes_GET_SIZE(item), true));
    if (!text) return nullptr;
    PyList_SET_ITEM(decoded.get(), i, text.release());
  }
  return decoded.release();
}

// One certificate field: "key:value" becomes a (key, value) pair split at the
// first colon, text without a colon stays single, a null pointer is None.
PyObject* certinfo_field(const char* text, bool decode) {
  if (text == nullptr) return Py_NewRef(Py_None);
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) {
    return text_object(text, static_cast<Py_ssize_t>(std::strlen(text)), decode);
  }
  Ref key = Ref::steal(text_object(text, colon - text, decode));
  if (!key) return nullptr;
  Ref value = Ref::steal(text_object(colon + 1, static_cast<Py_ssize_t>(std::strlen(colon + 1)), decode));
  if (!value) return nullptr;
  return PyTuple_Pack(2, key.get(), value.get());
}

// The certificate chain as a list with one tuple of fields per certificate.
// The record stays libcurl's.
PyObject* info_certinfo_to_list(const curl_certinfo* certinfo, bool decode) {
  if (certinfo == nullptr) Py_RETURN_NONE;
  const Py_ssize_t count = certinfo->num_of_certs > 0 ? certinfo->num_of_certs : 0;
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_ssize_t fields = 0;
    for (const curl_slist* node = certinfo->certinfo[i]; node != nullptr; node = node->next) {
      ++fields;
    }
    Ref tuple = Ref::steal(PyTuple_New(fields));
    if (!tuple) return nullptr;
    Py_ssize_t j = 0;
    for (const curl_slist* node = certinfo->certinfo[i]; node != nullptr; node = node->next, ++j) {
      PyObject* field = certinfo_field(node->data, decode);
      if (field == nullptr) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), j, field);
    }
    PyList_SET_ITEM(list.get(), i, tuple.release());
  }
  return list.release();
}

// The note of getinfo's refusal: most such numbers are option constants,
// some of which have an information item of the same name under INFO_.
void note_not_information(int number) {
  const curl_easyoption* opt = curl_easy_option_by_id(static_cast<CURLoption>(number));
  if (opt == nullptr) {
    add_note_to_raised("%d is not an information code: pass one of the information constants, "
                       "such as kelvex.RESPONSE_CODE",
                       number);
    return;
  }
  Ref info_name = Ref::steal(PyUnicode_FromFormat("INFO_%s", opt->name));
  PyObject* info = nullptr;
  if (info_name && PyDict_GetItemRef(kx.curlobject_constants, info_name.get(), &info) < 0)
    PyErr_Clear();
  Ref found = Ref::steal(info);
  if (found) {
    add_note_to_raised("%d is the option CURLOPT_%s; the information of that name is "
                       "kelvex.INFO_%s",
                       number, opt->name, opt->name);
  } else {
    add_note_to_raised("%d is the option CURLOPT_%s, not an information code: pass one of the "
                       "information constants, such as kelvex.RESPONSE_CODE",
                       number, opt->name);
  }
}

// The shared body of getinfo (decode) and getinfo_raw.
PyObject* util_curl_getinfo(CurlObject* self, int option, bool decode) {
  CurlAccess access(self, CHECK_HANDLE, "getinfo");
  if (!access) return nullptr;
  const InfoRow* row = find_option(kInfoTable, option);
  if (row == nullptr) {
    PyErr_SetString(PyExc_ValueError, "invalid argument to getinfo");
    note_not_information(option);
    return nullptr;
  }
  const auto info = static_cast<CURLINFO>(option);
  ErrorBufferScope error(self);
  CURLcode res = CURLE_OK;
  switch (row->group) {
    case InfoGroup::long_value: {
      long value = -1;
      res = curl_easy_getinfo(access.handle(), info, &value);
      if (res != CURLE_OK) break;
      return PyLong_FromLong(value);
    }
    case InfoGroup::deprecated_double:
      if (PyErr_WarnEx(PyExc_DeprecationWarning, "getinfo option is deprecated", 1) < 0) {
        return nullptr;
      }
      [[fallthrough]];
    case InfoGroup::double_value: {
      double value = 0.0;
      res = curl_easy_getinfo(access.handle(), info, &value);
      if (res != CURLE_OK) break;
      return PyFloat_FromDouble(value);
    }
    case InfoGroup::string: {
      char* value = nullptr;
      res = curl_easy_getinfo(access.handle(), info, &value);
      if (res != CURLE_OK) break;
      if (value == nullptr) Py_RETURN_NONE;
      return text_object(value, static_cast<Py_ssize_t>(std::strlen(value)), decode);
    }
    case InfoGroup::offset: {
      curl_off_t value = 0;
      res = curl_easy_getinfo(access.handle(), info, &value);
      if (res != CURLE_OK) break;
      return PyLong_FromLongLong(value);
    }
    case InfoGroup::string_list: {
      curl_slist* value = nullptr;
      res = curl_easy_getinfo(access.handle(), info, &value);
      if (res != CURLE_OK) {
        curl_slist_free_all(value);
        break;
      }
      Ref raw = Ref::steal(info_slist_to_list(value));
      if (!raw || !decode) return raw.release();
      return decode_string_list(raw.get());
    }
    case InfoGroup::certinfo: {
      curl_certinfo* value = nullptr;
      res = curl_easy_getinfo(access.handle(), info, &value);
      if (res != CURLE_OK) break;
      return info_certinfo_to_list(value, decode);
    }
    case InfoGroup::socket: {
      // LASTSOCKET is answered by its successor so both give the same value.
      curl_socket_t value = CURL_SOCKET_BAD;
      res = curl_easy_getinfo(access.handle(), CURLINFO_ACTIVESOCKET, &value);
      if (res != CURLE_OK) break;
      return PyLong_FromCurlSocket(value);
    }
  }
  create_and_set_error_object(self, res);
  return nullptr;
}

PyObject* util_curl_errstr(CurlObject* self, bool decode) {
  CurlAccess access(self, CHECK_HANDLE, "errstr");
  if (!access) return nullptr;
  // libcurl writes at most CURL_ERROR_SIZE bytes; the last byte of the
  // buffer keeps the text terminated whatever it wrote.
  self->error[KELVEX_ERROR_SIZE - 1] = '\0';
  return text_object(self->error, static_cast<Py_ssize_t>(std::strlen(self->error)), decode);
}

}  // namespace

PyObject* do_curl_getinfo(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  int option;
  if (!parse<decl::curl_getinfo>(args, nargs, &option)) return nullptr;
  return util_curl_getinfo(self, option, true);
}

PyObject* do_curl_getinfo_raw(CurlObject* self, PyObject* const* args, Py_ssize_t nargs) {
  int option;
  if (!parse<decl::curl_getinfo_raw>(args, nargs, &option)) return nullptr;
  return util_curl_getinfo(self, option, false);
}

PyObject* do_curl_errstr(CurlObject* self, PyObject* /*ignored*/) {
  return util_curl_errstr(self, true);
}

PyObject* do_curl_errstr_raw(CurlObject* self, PyObject* /*ignored*/) {
  return util_curl_errstr(self, false);
}
