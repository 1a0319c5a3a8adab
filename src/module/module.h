// The routines that fill the module's dictionaries (module.cpp; the
// constant tables it registers are in constants.cpp, the record of the
// module's globals that it fills is in globals.h).
#ifndef KELVEX_MODULE_H
#define KELVEX_MODULE_H

#include "pyutil.h"

// Registration; each returns 0 or -1. insobj2 takes `value` over only on
// success.
int insobj2(PyObject* dict1, PyObject* dict2, const char* name, PyObject* value);
int inslong2(PyObject* dict1, PyObject* dict2, const char* name, long long value);
int insstring(PyObject* dict, const char* name, const char* value);

#endif  // KELVEX_MODULE_H
