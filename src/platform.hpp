// Compiler-specific spellings, kept in one place so the sources stay portable.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZORVALIND_COLD [[gnu::cold]] [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ZORVALIND_COLD __declspec(noinline)
#else
#define ZORVALIND_COLD
#endif

// A function kept out of its callers on purpose (a frame of its own), and with
// its signature as written: GCC would otherwise specialise it for constant
// arguments, and its callers would shuffle their registers to match.
#if defined(__GNUC__) && !defined(__clang__)
#define ZORVALIND_NOINLINE [[gnu::noipa]]
#elif defined(__clang__)
#define ZORVALIND_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ZORVALIND_NOINLINE __declspec(noinline)
#else
#define ZORVALIND_NOINLINE
#endif

// A small function on a failure path whose callers mostly pass constants:
// inlined, its work folds to a few moves.
#if defined(__GNUC__) || defined(__clang__)
#define ZORVALIND_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define ZORVALIND_ALWAYS_INLINE inline
#endif

// Per-thread state. The module is loaded with dlopen, so its thread-locals
// keep the compiler's dynamic TLS model, which needs no room in the loader's
// static TLS block: initial-exec would, and a process whose static room other
// libraries have already used up could not load the module. The build reaches
// them through TLS descriptors where the compiler has those (CMakeLists.txt),
// which makes an access a call to a two-instruction resolver whenever the
// loader still had static room to give.
//
// On Windows, GCC emulates thread-locals: an access is a call that finds the
// thread's block, made on the thread's first access, so threads that started
// before the module was loaded get theirs too. Emulated thread-locals with
// destructors are destroyed in the wrong order at thread exit, so every
// per-thread value of the module stays trivially destructible. All of them
// live in attach/per_thread.cpp.
//
// In WebAssembly (Pyodide) there are no threads: a thread-local is a plain
// global of the side module and the mutexes never contend, so the same code
// serves unchanged. The side module exports what has default visibility, as
// a shared library does with the hidden default (cmake/toolchains/pyodide.cmake).

// A variable of the core read on the call path: hidden in its declaration, so
// the compiler addresses it directly instead of through the GOT.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__ELF__)
#define ZORVALIND_HIDDEN __attribute__((visibility("hidden")))
#else
#define ZORVALIND_HIDDEN
#endif
