// CPython's headers, first in every file of the module. They define the
// feature-test macros (_POSIX_C_SOURCE, _XOPEN_SOURCE) that the C and C++
// standard headers read, so they must come before any of those, as CPython's
// documentation asks (3.15 warns where a standard header came first).
#pragma once

#include <Python.h>
