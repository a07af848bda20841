// Compiler-specific spellings, kept in one place so the sources stay portable.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZORVALIND_COLD [[gnu::cold]] [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ZORVALIND_COLD __declspec(noinline)
#else
#define ZORVALIND_COLD
#endif

// Per-thread state of a library that is loaded once and never unloaded: the
// initial-exec model reads it without a call into the dynamic loader.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__ELF__)
#define ZORVALIND_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define ZORVALIND_FAST_TLS
#endif

// A variable of the core read on the call path: hidden in its declaration, so
// the compiler addresses it directly instead of through the GOT.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__ELF__)
#define ZORVALIND_HIDDEN __attribute__((visibility("hidden")))
#else
#define ZORVALIND_HIDDEN
#endif
