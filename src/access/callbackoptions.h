// The callable options of the Curl, one row each: the function option, the
// user-data option through which its trampoline finds the Curl, the
// trampoline, what the trampoline answers libcurl when it cannot run Python
// code, and what setopt and unsetopt do besides. Everything that handles the
// callables follows from the rows: the record keeps them in an array indexed
// by row (CurlObject::callables); setopt installs, unsetopt resets, closing
// releases, the collector visits and duphandle copies them by walking the
// table; a trampoline finds its callable by its row, fixed at compile time.
// The trampolines are declared here, beside the rows that install them, and
// defined in easycb*.cpp. So a new callable option is a row and its
// trampoline here, the trampoline's body, its stub and its documentation.
#ifndef KELVEX_CALLBACKOPTIONS_H
#define KELVEX_CALLBACKOPTIONS_H

#include "pyutil.h"

struct CurlObject;

// ---------------------------------------------------------------------------
// Trampolines of the callable options
// ---------------------------------------------------------------------------

// The data path (easycb.cpp).
size_t write_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
size_t header_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
// RTSP interleaved data: the body rules of write_callback, its own callable.
size_t interleave_callback(char* ptr, size_t size, size_t nmemb, void* userdata);
size_t read_callback(char* buffer, size_t size, size_t nitems, void* userdata);
int seek_callback(void* userdata, curl_off_t offset, int origin);
curlioerr ioctl_callback(CURL* handle, int cmd, void* userdata);
// Progress and notification (easycbnotify.cpp).
int debug_callback(CURL* handle, curl_infotype type, char* data, size_t size, void* userptr);
int prereq_callback(void* clientp, char* conn_primary_ip, char* conn_local_ip,
                    int conn_primary_port, int conn_local_port);
int fnmatch_callback(void* ptr, const char* pattern, const char* string);
int resolver_start_callback(void* resolver_state, void* reserved, void* userdata);
int trailer_callback(curl_slist** list, void* userdata);
// Wildcard transfers: before and after each matching file.
long chunk_bgn_callback(const void* transfer_info, void* ptr, int remains);
long chunk_end_callback(void* ptr);
// Socket and security (easycbsocket.cpp).
curl_socket_t opensocket_callback(void* clientp, curlsocktype purpose,
                                  struct curl_sockaddr* address);
int sockopt_cb(void* clientp, curl_socket_t curlfd, curlsocktype purpose);
int ssh_key_cb(CURL* easy, const struct curl_khkey* knownkey, const struct curl_khkey* foundkey,
               enum curl_khmatch match, void* clientp);
int ssh_hostkey_callback(void* clientp, int keytype, const char* key, size_t keylen);
// Installs closesocket_callback with this handle's token as its user data
// (the handle is found through libcurl's private pointer); cannot fail.
CURLcode install_closesocket(CURL* handle, CURLoption option);
// HSTS cache load and save (easycbhsts.cpp).
CURLSTScode hstsread_callback(CURL* easy, curl_hstsentry* entry, void* userdata);
CURLSTScode hstswrite_callback(CURL* easy, curl_hstsentry* entry, curl_index* index,
                               void* userdata);

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

// Each trampoline is installed with its own type so that libcurl reads back
// exactly the function pointer type it expects from its varargs.
using InstallFn = CURLcode (*)(CURL*, CURLoption);
template <auto Trampoline>
CURLcode install_trampoline(CURL* handle, CURLoption option) {
  return curl_easy_setopt(handle, option, Trampoline);
}

// What the user-data option goes back to on reset: with a null function
// libcurl falls back to fwrite/fread on the standard streams it finds there.
enum class DataReset : unsigned char { null, standard_output, standard_input };

enum CallbackFlags : unsigned {
  // setopt's use_memoryview=True hands the callable memoryviews, not bytes.
  CB_MEMORYVIEW = 1u << 0,
  // The user data is the handle's close-socket token, not the Curl
  // (easycbsocket.cpp says why): a duplicate gets a token of its own.
  CB_TOKEN_DATA = 1u << 1,
};

struct CallbackOption {
  CURLoption option;
  CURLoption data_option;
  // Null when libcurl is not told about the callable, only the record
  // keeps it: the progress callables are called by the progress trampoline
  // that every handle always has (easycbnotify.cpp).
  InstallFn install;
  // The trampoline's answer when the interpreter is finalizing, when no
  // thread state is recorded for its handle, and when the Python side
  // failed (unless its own rules say otherwise).
  long failure;
  DataReset reset;
  unsigned flags;
  // Setting the option warns with this text (DeprecationWarning).
  const char* deprecation;
};

// The order is the order of release.
inline constexpr CallbackOption kCallbackOptions[] = {
    // Any count short of the chunk is a write error.
    {CURLOPT_WRITEFUNCTION, CURLOPT_WRITEDATA, &install_trampoline<write_callback>, 0,
     DataReset::standard_output, CB_MEMORYVIEW, nullptr},
    {CURLOPT_HEADERFUNCTION, CURLOPT_HEADERDATA, &install_trampoline<header_callback>, 0,
     DataReset::null, CB_MEMORYVIEW, nullptr},
    {CURLOPT_READFUNCTION, CURLOPT_READDATA, &install_trampoline<read_callback>,
     CURL_READFUNC_ABORT, DataReset::standard_input, 0, nullptr},
    {CURLOPT_PROGRESSFUNCTION, CURLOPT_PROGRESSDATA, nullptr, 1, DataReset::null, 0,
     "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"},
    {CURLOPT_XFERINFOFUNCTION, CURLOPT_XFERINFODATA, nullptr, 1, DataReset::null, 0, nullptr},
    {CURLOPT_DEBUGFUNCTION, CURLOPT_DEBUGDATA, &install_trampoline<debug_callback>, 0,
     DataReset::null, 0, nullptr},
    {CURLOPT_IOCTLFUNCTION, CURLOPT_IOCTLDATA, &install_trampoline<ioctl_callback>,
     CURLIOE_FAILRESTART, DataReset::null, 0, "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"},
    {CURLOPT_SEEKFUNCTION, CURLOPT_SEEKDATA, &install_trampoline<seek_callback>,
     CURL_SEEKFUNC_CANTSEEK, DataReset::null, 0, nullptr},
    {CURLOPT_OPENSOCKETFUNCTION, CURLOPT_OPENSOCKETDATA,
     &install_trampoline<opensocket_callback>, CURL_SOCKET_BAD, DataReset::null, 0, nullptr},
    {CURLOPT_CLOSESOCKETFUNCTION, CURLOPT_CLOSESOCKETDATA, &install_closesocket, 1,
     DataReset::null, CB_TOKEN_DATA, nullptr},
    {CURLOPT_SOCKOPTFUNCTION, CURLOPT_SOCKOPTDATA, &install_trampoline<sockopt_cb>,
     CURL_SOCKOPT_ERROR, DataReset::null, 0, nullptr},
    {CURLOPT_SSH_KEYFUNCTION, CURLOPT_SSH_KEYDATA, &install_trampoline<ssh_key_cb>,
     CURLKHSTAT_REJECT, DataReset::null, 0, nullptr},
    {CURLOPT_PREREQFUNCTION, CURLOPT_PREREQDATA, &install_trampoline<prereq_callback>,
     CURL_PREREQFUNC_ABORT, DataReset::null, 0, nullptr},
    {CURLOPT_FNMATCH_FUNCTION, CURLOPT_FNMATCH_DATA, &install_trampoline<fnmatch_callback>,
     CURL_FNMATCHFUNC_FAIL, DataReset::null, 0, nullptr},
    {CURLOPT_RESOLVER_START_FUNCTION, CURLOPT_RESOLVER_START_DATA,
     &install_trampoline<resolver_start_callback>, 1, DataReset::null, 0, nullptr},
    {CURLOPT_TRAILERFUNCTION, CURLOPT_TRAILERDATA, &install_trampoline<trailer_callback>,
     CURL_TRAILERFUNC_ABORT, DataReset::null, 0, nullptr},
    {CURLOPT_HSTSREADFUNCTION, CURLOPT_HSTSREADDATA, &install_trampoline<hstsread_callback>,
     CURLSTS_FAIL, DataReset::null, 0, nullptr},
    {CURLOPT_HSTSWRITEFUNCTION, CURLOPT_HSTSWRITEDATA, &install_trampoline<hstswrite_callback>,
     CURLSTS_FAIL, DataReset::null, 0, nullptr},
    {CURLOPT_INTERLEAVEFUNCTION, CURLOPT_INTERLEAVEDATA,
     &install_trampoline<interleave_callback>, 0, DataReset::null, 0, nullptr},
    {CURLOPT_SSH_HOSTKEYFUNCTION, CURLOPT_SSH_HOSTKEYDATA,
     &install_trampoline<ssh_hostkey_callback>, CURLKHMATCH_MISMATCH, DataReset::null, 0,
     nullptr},
    // The two chunk callables share one user-data option.
    {CURLOPT_CHUNK_BGN_FUNCTION, CURLOPT_CHUNK_DATA, &install_trampoline<chunk_bgn_callback>,
     CURL_CHUNK_BGN_FUNC_FAIL, DataReset::null, 0, nullptr},
    {CURLOPT_CHUNK_END_FUNCTION, CURLOPT_CHUNK_DATA, &install_trampoline<chunk_end_callback>,
     CURL_CHUNK_END_FUNC_FAIL, DataReset::null, 0, nullptr},
};
static_assert(options_unique(kCallbackOptions));

inline constexpr std::size_t kCallbackCount = std::size(kCallbackOptions);

// The row of a callable option, at compile time. For an option the table
// lacks the search reads past its end, which is no constant expression: the
// call does not compile (on every compiler the wheels are built with).
consteval std::size_t callback_row(CURLoption option) {
  std::size_t row = 0;
  while (kCallbackOptions[row].option != option) ++row;
  return row;
}

// The index of one of the table's rows, as find_option gives them.
inline std::size_t row_index(const CallbackOption& row) {
  return static_cast<std::size_t>(&row - kCallbackOptions);
}

// The failure value of a callable option's trampoline, at compile time.
consteval long callback_failure(CURLoption option) {
  return kCallbackOptions[callback_row(option)].failure;
}

#endif  // KELVEX_CALLBACKOPTIONS_H
