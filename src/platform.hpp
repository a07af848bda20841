// Compiler-specific spellings, kept in one place so the sources stay portable.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZORVALIND_COLD [[gnu::cold]] [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ZORVALIND_COLD __declspec(noinline)
#else
#define ZORVALIND_COLD
#endif
