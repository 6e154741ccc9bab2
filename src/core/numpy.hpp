// The numpy C API, shared by the translation units of one extension module.
// core/pyutil.cpp owns the API table; kc::import_numpy() fills it at import.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL korvit_numpy_api
#ifndef KC_NUMPY_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
