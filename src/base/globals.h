// The module's globals, in one record: what the module makes at import
// and every layer reads (kelvex.error, the interned names, the namedtuple
// types). module.cpp fills it in; it lives below every object so that
// reading it is a call downward.
#ifndef KELVEX_GLOBALS_H
#define KELVEX_GLOBALS_H

#include "pyutil.h"

// Everything the module makes at import and keeps to the end: strong
// references (emptied at teardown and on a failed import) and the
// user-agent text (raw memory, freed with PyMem_RawFree).
struct ModuleGlobals {
  PyObject* ErrorObject;     // kelvex.error
  char* g_kelvex_useragent;  // "Kelvex/7.47.0 " followed by curl_version()
  PyObject* bytesio;
  PyObject* stringio;
  // The namedtuple types that callbacks and methods hand to Python code.
  PyObject* khkey_type;
  PyObject* curl_sockaddr_type;
  PyObject* hsts_entry_type;
  PyObject* hsts_index_type;
  PyObject* ws_frame_type;
  PyObject* curl_header_type;
  PyObject* curl_fileinfo_type;
  PyObject* datetime_type;
  PyObject* utc_tz;
  // Each type's constants, read by its attribute lookup.
  PyObject* curlobject_constants;
  PyObject* curlmultiobject_constants;
  PyObject* curlshareobject_constants;
  // Interned method names used on hot paths.
  PyObject* str_write;
  PyObject* str_read;
  PyObject* str_release;
  PyObject* str_getvalue;
  PyObject* str_tzinfo;
  PyObject* str_astimezone;
  PyObject* str_strftime;
  PyObject* str_strptime;
  PyObject* str_done;
  PyObject* str_set_result;
  PyObject* str_set_exception;
};
extern ModuleGlobals kx;

#endif  // KELVEX_GLOBALS_H
