/* CPython 3.14 (with the interpreter lock) as built for Windows x86-64, for
   compiling extension modules against the interpreter's own headers on another
   host. The headers are the same on every platform but this file; it holds
   only what they read to settle the ABI: the platform, how the interpreter's
   names are imported, and the sizes of the C types (LLP64: long is 32-bit). */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#define MS_WIN32
#define MS_WINDOWS
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is a DLL (python3.dll for the stable ABI build, whose
   import library the build makes, python314.dll otherwise): its functions
   and data are imported with __declspec(dllimport), PyMODINIT_FUNC is
   __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* A release interpreter with the lock: no Py_GIL_DISABLED, Py_DEBUG, _DEBUG,
   Py_REF_DEBUG or Py_TRACE_REFS. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_UINTPTR_T 8
#define HAVE_LONG_LONG 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* The 32- and 64-bit integer types of the C library. */
#include <stdint.h>
#define HAVE_UINT32_T 1
#define HAVE_INT32_T 1
#define HAVE_UINT64_T 1
#define HAVE_INT64_T 1
#define HAVE_UINTPTR_T 1
#define HAVE_INTPTR_T 1

#endif /* Py_PYCONFIG_H */
