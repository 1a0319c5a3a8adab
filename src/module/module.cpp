// Module creation and teardown, the registration routines and the
// module-level functions.
#include "module.h"

#include "constants.h"
#include "easy.h"
#include "docstrings.h"
#include "eventcore.h"
#include "globals.h"
#include "holders.h"
#include "mime.h"
#include "mimepart.h"
#include "multi.h"
#include "share.h"
#include "transferfuture.h"
#include "transferrun.h"
#include "url.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>
#include <span>

namespace {

// insobj2 for a value held in `value`: the reference passes to the
// dictionaries on success and is released here otherwise.
int insert_owned(PyObject* dict1, PyObject* dict2, const char* name, Ref value) {
  if (insobj2(dict1, dict2, name, value.get()) < 0) return -1;
  (void)value.release();
  return 0;
}

// The dictionary, besides the module's, that a constant goes into.
PyObject* constants_dict(ConstantDict dict, PyObject* module_dict) {
  switch (dict) {
    case ConstantDict::Easy:
      return kx.curlobject_constants;
    case ConstantDict::Multi:
      return kx.curlmultiobject_constants;
    case ConstantDict::Share:
      return kx.curlshareobject_constants;
    case ConstantDict::Module:
      break;
  }
  return module_dict;
}

// Every constant of the tables (constants.cpp), in their order, into the
// module's dictionary and its type's.
int register_constants(PyObject* module_dict) {
  assert(kx.curlobject_constants && kx.curlmultiobject_constants && kx.curlshareobject_constants);
  for (const ConstantTable& table : kConstantTables) {
    for (const Constant& c : std::span(table.rows, table.count)) {
      Ref value = Ref::steal(c.make == ConstantMake::Socket
                                 ? PyLong_FromCurlSocket(static_cast<curl_socket_t>(c.value))
                                 : PyLong_FromLongLong(c.value));
      if (insert_owned(module_dict, constants_dict(c.dict, module_dict), c.name,
                       std::move(value)) < 0) {
        return -1;
      }
    }
  }
  return 0;
}

// The libcurl and TLS library the module was written against. Any newer
// libcurl is accepted; an older one may lack options the tables name.
constexpr unsigned kCompileLibcurlVersionNum = 0x081500;
constexpr char kCompileLibcurlVersion[] = "8.21.0";
constexpr char kCompileSslLib[] = "openssl";

constexpr char kUserAgentPrefix[] = "Kelvex/7.47.0 ";
static_assert(sizeof(kUserAgentPrefix) == 15, "prefix is 14 characters and a NUL");

constexpr char kVersionRefusal[] =
    "kelvex: libcurl link-time version (%s) is older than compile-time version (%s)";
constexpr char kBackendRefusal[] =
    "kelvex: libcurl link-time ssl backends (%s) do not include compile-time ssl backend (%s)";

// The backend list of the refusal text, in libcurl's order. The buffer is
// bounded: once the lengths the prints reported reach its size, nothing more
// is appended (a truncated print has already written its terminating NUL).
constexpr std::size_t kBackendListSize = 200;

void format_backend_list(char (&list)[kBackendListSize], CURLsslset result,
                         const curl_ssl_backend* const* avail) {
  list[0] = '\0';
  if (result == CURLSSLSET_NO_BACKENDS || avail == nullptr) {
    PyOS_snprintf(list, sizeof(list), "%s", "none");
    return;
  }
  std::size_t used = 0;
  for (std::size_t i = 0; avail[i] != nullptr && used < sizeof(list); ++i) {
    int n = PyOS_snprintf(list + used, sizeof(list) - used, "%s%s", i == 0 ? "" : ", ",
                          avail[i]->name);
    if (n < 0) break;
    used += static_cast<std::size_t>(n);
  }
}

// Each returns a new str naming why this libcurl is unsuitable, None when it
// is suitable, or null with an exception set.
PyObject* version_refusal(unsigned version_num, const char* version_text) {
  if (version_num < kCompileLibcurlVersionNum) {
    return PyUnicode_FromFormat(kVersionRefusal, version_text, kCompileLibcurlVersion);
  }
  Py_RETURN_NONE;
}

PyObject* backend_refusal(CURLsslset result, const curl_ssl_backend* const* avail) {
  if (result == CURLSSLSET_OK) Py_RETURN_NONE;
  char list[kBackendListSize];
  format_backend_list(list, result, avail);
  return PyUnicode_FromFormat(kBackendRefusal, list, kCompileSslLib);
}

// Raises ImportError with a refusal text; returns -1 for a refusal or an
// error, 0 when there was nothing to refuse.
int raise_refusal(Ref text) {
  if (!text) return -1;
  if (text.get() == Py_None) return 0;
  PyErr_SetObject(PyExc_ImportError, text.get());
  return -1;
}

// libcurl refuses to switch backends once it has initialised; answering
// CURLSSLSET_TOO_LATE then is a refusal like a missing backend, because the
// backend in use may not be OpenSSL.
int check_libcurl() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info == nullptr) {
    PyErr_SetString(PyExc_ImportError, "kelvex: curl_version_info() failed");
    return -1;
  }
  const char* version = info->version != nullptr ? info->version : "unknown";
  if (raise_refusal(Ref::steal(version_refusal(info->version_num, version))) < 0) {
    return -1;
  }
  const curl_ssl_backend** avail = nullptr;
  CURLsslset result = curl_global_sslset(static_cast<curl_sslbackend>(-1), kCompileSslLib, &avail);
  return raise_refusal(Ref::steal(backend_refusal(result, avail)));
}

struct TypeEntry {
  PyTypeObject* type;
  const char* exported_as;  // null: internal, not placed in the module
};

// Readied in this order; the exported ones are registered in this order too.
constexpr TypeEntry kTypes[] = {
    {&Curl_Type, "Curl"},
    {&CurlSlist_Type, nullptr},
    {&CurlHttppost_Type, nullptr},
    {&CurlMulti_Type, "CurlMulti"},
    {&CurlShare_Type, "CurlShare"},
    {&EventCore_Type, "EventCore"},
    {&TransferFuture_Type, nullptr},
    {&TransferRun_Type, nullptr},
    {&TransferPerformer_Type, nullptr},
    {&CurlMime_Type, "CurlMime"},
    {&CurlMimePart_Type, "CurlMimePart"},
    {&MimeDataCbOwner_Type, nullptr},
    {&CurlUrl_Type, "CurlUrl"},
};

struct NamedTupleEntry {
  PyObject** global;
  const char* name;
  const char* fields;
};

constexpr NamedTupleEntry kSocketTuples[] = {
    {&kx.khkey_type, "KhKey", "key keytype"},
    {&kx.curl_sockaddr_type, "CurlSockAddr", "family socktype protocol addr"},
};
constexpr NamedTupleEntry kHstsTuples[] = {
    {&kx.hsts_entry_type, "HstsEntry", "host expire include_subdomains"},
    {&kx.hsts_index_type, "HstsIndex", "idx total"},
};
constexpr NamedTupleEntry kWsTuples[] = {
    {&kx.ws_frame_type, "WsFrame", "age flags offset bytesleft len"},
    {&kx.curl_header_type, "CurlHeader", "name value origin request"},
    {&kx.curl_fileinfo_type, "CurlFileInfo",
     "filename filetype size perm uid gid hardlinks time target flags"},
};

struct InternedEntry {
  PyObject** global;
  const char* text;
};

constexpr InternedEntry kInterned[] = {
    {&kx.str_write, "write"},
    {&kx.str_read, "read"},
    {&kx.str_release, "release"},
    {&kx.str_getvalue, "getvalue"},
    {&kx.str_tzinfo, "tzinfo"},
    {&kx.str_astimezone, "astimezone"},
    {&kx.str_strftime, "strftime"},
    {&kx.str_strptime, "strptime"},
    {&kx.str_done, "done"},
    {&kx.str_set_result, "set_result"},
    {&kx.str_set_exception, "set_exception"},
};

// Every object global of this file; cleared at teardown and on a failed
// import.
PyObject** const kOwnedGlobals[] = {
    &kx.bytesio,         &kx.stringio,        &kx.ErrorObject,           &kx.khkey_type,
    &kx.curl_sockaddr_type, &kx.hsts_entry_type, &kx.hsts_index_type, &kx.datetime_type,
    &kx.utc_tz,          &kx.ws_frame_type,   &kx.curl_header_type, &kx.curl_fileinfo_type,   &kx.curlobject_constants,  &kx.curlmultiobject_constants,
    &kx.curlshareobject_constants, &kx.str_write,       &kx.str_read,        &kx.str_release,
    &kx.str_getvalue,    &kx.str_tzinfo,      &kx.str_astimezone,  &kx.str_strftime,
    &kx.str_strptime,    &kx.str_done,        &kx.str_set_result,  &kx.str_set_exception,
};

void release_globals() {
  for (PyObject** global : kOwnedGlobals) Py_CLEAR(*global);
  PyMem_RawFree(kx.g_kelvex_useragent);
  kx.g_kelvex_useragent = nullptr;
}

// The types the namedtuples create say they come from this module, so that
// their instances pickle and print with the name they are reached by.
int make_namedtuples(PyObject* module_dict, PyObject* namedtuple, const NamedTupleEntry* entries,
                     std::size_t count) {
  Ref kwnames = Ref::steal(Py_BuildValue("(s)", "module"));
  Ref module_name = Ref::steal(PyUnicode_FromString("kelvex._kelvex"));
  if (!kwnames || !module_name) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    Ref name = Ref::steal(PyUnicode_FromString(entries[i].name));
    Ref fields = Ref::steal(PyUnicode_FromString(entries[i].fields));
    if (!name || !fields) return -1;
    PyObject* args[] = {nullptr, name.get(), fields.get(), module_name.get()};
    PyObject* type = PyObject_Vectorcall(namedtuple, args + 1,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
    if (type == nullptr) return -1;
    *entries[i].global = type;
    if (PyDict_SetItemString(module_dict, entries[i].name, type) < 0) return -1;
  }
  return 0;
}

// The TLS hooks: OpenSSL 3 initialises itself, so there is nothing to set
// up at import or to tear down in global_cleanup.
int kelvex_ssl_init() { return 0; }
void kelvex_ssl_cleanup() {}

int fetch_io(Ref* io) {
  *io = Ref::steal(PyImport_ImportModule("io"));
  if (!*io) return -1;
  kx.bytesio = PyObject_GetAttrString(io->get(), "BytesIO");
  if (kx.bytesio == nullptr) return -1;
  kx.stringio = PyObject_GetAttrString(io->get(), "StringIO");
  return kx.stringio == nullptr ? -1 : 0;
}

int fetch_datetime() {
  Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
  if (!datetime) return -1;
  kx.datetime_type = PyObject_GetAttrString(datetime.get(), "datetime");
  if (kx.datetime_type == nullptr) return -1;
  Ref timezone = Ref::steal(PyObject_GetAttrString(datetime.get(), "timezone"));
  if (!timezone) return -1;
  kx.utc_tz = PyObject_GetAttrString(timezone.get(), "utc");
  return kx.utc_tz == nullptr ? -1 : 0;
}

int make_useragent() {
  const char* version = curl_version();
  std::size_t length = std::strlen(version);
  if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX) - sizeof(kUserAgentPrefix)) return -1;
  char* text = static_cast<char*>(PyMem_RawMalloc(length + sizeof(kUserAgentPrefix)));
  if (text == nullptr) return -1;
  std::memcpy(text, kUserAgentPrefix, sizeof(kUserAgentPrefix) - 1);
  std::memcpy(text + sizeof(kUserAgentPrefix) - 1, version, length + 1);
  kx.g_kelvex_useragent = text;
  return 0;
}

// Undoes a partly done import unless dismissed. Some failures (the
// user-agent allocation) set no exception; the import machinery needs one.
class ImportGuard {
 public:
  ImportGuard() = default;
  ImportGuard(const ImportGuard&) = delete;
  ImportGuard& operator=(const ImportGuard&) = delete;
  ~ImportGuard() {
    if (!armed_) return;
    release_globals();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "curl module init failed");
  }
  void dismiss() noexcept { armed_ = false; }

 private:
  bool armed_ = true;
};

// The module's contents, in the order they are made. On failure the caller
// releases the module object too: its free function and the import guard
// both empty the globals, and whichever runs second finds nothing left.
int fill_module(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);
  assert(dict != nullptr);

  kx.ErrorObject = PyErr_NewException("kelvex.error", nullptr, nullptr);
  if (kx.ErrorObject == nullptr || PyDict_SetItemString(dict, "error", kx.ErrorObject) < 0) return -1;

  for (PyObject** table : {&kx.curlobject_constants, &kx.curlmultiobject_constants,
                           &kx.curlshareobject_constants}) {
    *table = PyDict_New();
    if (*table == nullptr) return -1;
  }
  for (const InternedEntry& entry : kInterned) {
    *entry.global = PyUnicode_InternFromString(entry.text);
    if (*entry.global == nullptr) return -1;
  }

  if (make_useragent() < 0) return -1;
  if (insstring(dict, "version", kx.g_kelvex_useragent) < 0 ||
      inslong2(dict, nullptr, "COMPILE_PY_VERSION_HEX", PY_VERSION_HEX) < 0 ||
      inslong2(dict, nullptr, "COMPILE_LIBCURL_VERSION_NUM", kCompileLibcurlVersionNum) < 0 ||
      insstring(dict, "COMPILE_SSL_LIB", kCompileSslLib) < 0) {
    return -1;
  }

  for (const TypeEntry& entry : kTypes) {
    if (entry.exported_as == nullptr) continue;
    if (insert_owned(dict, nullptr, entry.exported_as,
                     Ref::borrow(reinterpret_cast<PyObject*>(entry.type))) < 0) {
      return -1;
    }
  }

  if (register_constants(dict) < 0) return -1;
  if (kelvex_ssl_init() != 0) return -1;

  Ref io;
  if (fetch_io(&io) < 0) return -1;
  Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  if (!collections) return -1;
  Ref namedtuple = Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
  if (!namedtuple) return -1;
  if (make_namedtuples(dict, namedtuple.get(), kSocketTuples, std::size(kSocketTuples)) < 0) {
    return -1;
  }
  if (fetch_datetime() < 0) return -1;
  if (make_namedtuples(dict, namedtuple.get(), kHstsTuples, std::size(kHstsTuples)) < 0 ||
      make_namedtuples(dict, namedtuple.get(), kWsTuples, std::size(kWsTuples)) < 0) {
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Module functions
// ---------------------------------------------------------------------------

PyObject* do_global_init(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  int option;
  if (!parse_keywords<decl::global_init>(args, nargs, kwnames, &option)) return nullptr;
  // Taken as unsigned, so negative values are refused with the large ones.
  if (static_cast<unsigned>(option) >= 8u) {
    PyErr_SetString(PyExc_ValueError, "invalid option to global_init");
    return nullptr;
  }
  if (curl_global_init(option) != CURLE_OK) {
    set_error_text("unable to set global option");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* do_global_cleanup(PyObject*, PyObject*) {
  curl_global_cleanup();
  kelvex_ssl_cleanup();
  Py_RETURN_NONE;
}

// libcurl's version texts may start with blanks; they are not part of the
// version.
PyObject* version_text(const char* text) {
  if (text == nullptr) Py_RETURN_NONE;
  while (*text == ' ' || *text == '\t') ++text;
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
}

PyObject* protocol_names(const char* const* protocols) {
  Py_ssize_t count = 0;
  while (protocols != nullptr && protocols[count] != nullptr) ++count;
  Ref names = Ref::steal(PyTuple_New(count));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = version_text(protocols[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i, name);
  }
  return names.release();
}

PyObject* do_version_info(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  int stamp = CURLVERSION_NOW;
  if (!parse_keywords<decl::version_info>(args, nargs, kwnames, &stamp)) return nullptr;
  const curl_version_info_data* info = curl_version_info(static_cast<CURLversion>(stamp));
  if (info == nullptr) {
    set_error_text("unable to get version info");
    return nullptr;
  }
  Ref items[] = {
      Ref::steal(PyLong_FromLong(info->age)),
      Ref::steal(version_text(info->version)),
      Ref::steal(PyLong_FromUnsignedLong(info->version_num)),
      Ref::steal(version_text(info->host)),
      Ref::steal(PyLong_FromLong(info->features)),
      Ref::steal(version_text(info->ssl_version)),
      Ref::steal(PyLong_FromLong(info->ssl_version_num)),
      Ref::steal(version_text(info->libz_version)),
      Ref::steal(protocol_names(info->protocols)),
      Ref::steal(version_text(info->ares)),
      Ref::steal(PyLong_FromLong(info->ares_num)),
      Ref::steal(version_text(info->libidn)),
  };
  static_assert(std::size(items) == 12);
  for (const Ref& item : items) {
    if (!item) return nullptr;
  }
  Ref result = Ref::steal(PyTuple_New(std::size(items)));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < std::size(items); ++i) {
    PyTuple_SET_ITEM(result.get(), i, items[i].release());
  }
  return result.release();
}

// The four *_strerror functions, each by its declaration.
template <typename Code, const char* (*strerror)(Code), const auto& Declaration>
PyObject* do_strerror(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int code;
  if (!parse_keywords<Declaration>(args, nargs, kwnames, &code)) return nullptr;
  return PyUnicode_FromString(strerror(static_cast<Code>(code)));
}

constexpr auto* do_easy_strerror =
    &do_strerror<CURLcode, curl_easy_strerror, decl::easy_strerror>;
constexpr auto* do_multi_strerror =
    &do_strerror<CURLMcode, curl_multi_strerror, decl::multi_strerror>;
constexpr auto* do_share_strerror =
    &do_strerror<CURLSHcode, curl_share_strerror, decl::share_strerror>;
constexpr auto* do_url_strerror = &do_strerror<CURLUcode, curl_url_strerror, decl::url_strerror>;

// Internal: the refusal text import would raise for a libcurl reporting
// this version and these TLS backends (None: no backend at all), or None
// when import would proceed. Lets the refusals be checked without an
// unsuitable libcurl at hand.
PyObject* do_import_checks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  unsigned version_num;
  const char* version_text;
  PyObject* backends;
  if (!parse_keywords<decl::import_checks>(args, nargs, kwnames, &version_num, &version_text,
                                           &backends)) {
    return nullptr;
  }
  Ref refusal = Ref::steal(version_refusal(version_num, version_text));
  if (!refusal || refusal.get() != Py_None) return refusal.release();
  if (backends == Py_None) return backend_refusal(CURLSSLSET_NO_BACKENDS, nullptr);

  Ref names = Ref::steal(PySequence_Tuple(backends));
  if (!names) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(names.get());
  std::unique_ptr<curl_ssl_backend[]> records(new (std::nothrow) curl_ssl_backend[count + 1]);
  std::unique_ptr<const curl_ssl_backend*[]> avail(
      new (std::nothrow) const curl_ssl_backend*[count + 1]);
  if (!records || !avail) return PyErr_NoMemory();
  CURLsslset result = CURLSSLSET_UNKNOWN_BACKEND;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(names.get(), i));
    if (name == nullptr) return nullptr;
    records[i] = curl_ssl_backend{CURLSSLBACKEND_NONE, name};
    avail[i] = &records[i];
    if (std::strcmp(name, kCompileSslLib) == 0) result = CURLSSLSET_OK;
  }
  avail[count] = nullptr;
  return backend_refusal(result, avail.get());
}

// Module functions are called through their function objects, whose
// METH_FASTCALL refusal of keywords would name the module
// ("kelvex._kelvex.global_init()"); they take METH_FASTCALL | METH_KEYWORDS
// and refuse keywords themselves, naming the function as "global_init()".
PyMethodDef module_methods[] = {
    method_entry<decl::global_init>(do_global_init),
    method_entry<decl::global_cleanup>(do_global_cleanup),
    method_entry<decl::version_info>(do_version_info),
    method_entry<decl::easy_strerror>(do_easy_strerror),
    method_entry<decl::multi_strerror>(do_multi_strerror),
    method_entry<decl::share_strerror>(do_share_strerror),
    method_entry<decl::url_strerror>(do_url_strerror),
    method_entry<decl::import_checks>(do_import_checks),
    {nullptr, nullptr, 0, nullptr},
};

// libcurl's global state is not torn down here: other code in the process
// may still use libcurl, and curl_global_cleanup is not thread-safe.
void module_free(void*) { release_globals(); }

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kelvex._kelvex",
    kelvex_module_doc,
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    module_free,
};

}  // namespace

// ---------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------

int insobj2(PyObject* dict1, PyObject* dict2, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return -1;
  // A name registered twice is a defect of the constant tables.
  if (PyDict_Contains(dict1, key.get()) == 1) {
    std::fprintf(stderr, "Symbol already defined: %s\n", name);
    assert(!"duplicate symbol");
    std::abort();
  }
  if (PyDict_SetItem(dict1, key.get(), value) < 0) return -1;
  if (dict2 != nullptr && dict2 != dict1) {
    if (PyDict_Contains(dict2, key.get()) == 1) {
      assert(!"duplicate symbol");
      std::abort();
    }
    if (PyDict_SetItem(dict2, key.get(), value) < 0) return -1;
  }
  Py_DECREF(value);
  return 0;
}

int inslong2(PyObject* dict1, PyObject* dict2, const char* name, long long value) {
  return insert_owned(dict1, dict2, name, Ref::steal(PyLong_FromLongLong(value)));
}

int insstring(PyObject* dict, const char* name, const char* value) {
  return insert_owned(dict, nullptr, name, Ref::steal(PyUnicode_FromString(value)));
}

// ---------------------------------------------------------------------------
// Entry point
// ---------------------------------------------------------------------------

PyMODINIT_FUNC PyInit__kelvex() {
  // Curl, CurlMulti and CurlShare are reached through weak references
  // (multi membership, the share registry).
  assert(Curl_Type.tp_weaklistoffset > 0);
  assert(CurlMulti_Type.tp_weaklistoffset > 0);
  assert(CurlShare_Type.tp_weaklistoffset > 0);

  // Nothing has been made yet, so a refusal needs no clean-up.
  if (check_libcurl() < 0) return nullptr;

  ImportGuard guard;
  transfer_run_install();
  for (const TypeEntry& entry : kTypes) {
    Py_SET_TYPE(entry.type, &PyType_Type);
    if (PyType_Ready(entry.type) < 0) return nullptr;
  }

  Ref module = Ref::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  if (fill_module(module.get()) < 0) return nullptr;
  guard.dismiss();
  return module.release();
}
