"""Proves, before the suite runs, that the preloaded sanitizers are live and
that their reports reach the report folder: run as
`preflight.py allocator|asan|ubsan|tsan <probe.so>` under the same environment."""

import ctypes
import sys

mode = sys.argv[1]
libc = ctypes.CDLL(None)
if mode == "allocator":
    live = libc.__sanitizer_get_current_allocated_bytes
    live.restype = ctypes.c_size_t
    sys.exit(0 if live() > 0 else 1)
if mode == "asan":
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    block = libc.malloc(8)
    libc.free(block)
    libc.free(block)
if mode == "ubsan":
    ctypes.CDLL(sys.argv[2]).zorvalind_preflight_overflow(5)
if mode == "tsan":
    # The race does not stop the process: ThreadSanitizer sets the exit
    # status at exit, once it has reported.
    ctypes.CDLL(sys.argv[2]).zorvalind_preflight_race()
    sys.exit(0)
sys.exit(2)  # reached only when no sanitizer stopped the process
