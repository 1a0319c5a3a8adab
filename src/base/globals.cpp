// The record of the module's globals (globals.h), empty until module.cpp
// fills it in at import.
#include "globals.h"

ModuleGlobals kx = {};
