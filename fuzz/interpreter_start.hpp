// Starting the fuzzer's interpreter, which takes the interpreter's full API
// (its pre-configuration and configuration): interpreter_start.cpp is the one
// file of the harness compiled against it. The harness and the core see the
// limited API, as in the shipped module.
#pragma once

// Starts an isolated interpreter whose standard library lives under `home`,
// every object allocation going to the C library's allocator (the
// sanitizer's); ends the process when it cannot start.
void start_isolated_interpreter(const char* home);
