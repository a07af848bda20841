// The Windows platform check's probe DLL: the core's attachment, once-cells,
// internal faults and boundary trap, reached through a few C functions that
// platform_check.exe looks up after it has started its threads. Never shipped.
// Its interpreter is interpreter_double.cpp, which answers the lock calls.
#include <Python.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <thread>

#include "attach/attach.hpp"
#include "attach/once_cell.hpp"
#include "fault/boundary.hpp"
#include "fault/internal_fault.hpp"

// The project's pyconfig.h for Windows x86-64 against the compiler's own
// view of the target: a size written wrong would change the interpreter's ABI
// as the module sees it.
static_assert(sizeof(int) == SIZEOF_INT && sizeof(long) == SIZEOF_LONG && sizeof(long long) == SIZEOF_LONG_LONG);
static_assert(sizeof(void*) == SIZEOF_VOID_P && sizeof(std::size_t) == SIZEOF_SIZE_T);
static_assert(sizeof(wchar_t) == SIZEOF_WCHAR_T && sizeof(std::time_t) == SIZEOF_TIME_T);
static_assert(sizeof(short) == SIZEOF_SHORT && sizeof(float) == SIZEOF_FLOAT && sizeof(double) == SIZEOF_DOUBLE);
static_assert(sizeof(Py_ssize_t) == 8 && sizeof(Py_hash_t) == 8 && sizeof(Py_ssize_t) == sizeof(std::intptr_t));
#if !defined(MS_WIN64) || !defined(Py_ENABLE_SHARED) || defined(Py_GIL_DISABLED) || defined(Py_DEBUG)
#error "not the configuration of a release CPython with the lock on Windows x86-64"
#endif

using namespace zorvalind;

#define PROBE extern "C" __declspec(dllexport)

namespace {
// Failure codes name the step that saw a wrong value.
int check(bool ok, int code) { return ok ? 0 : code; }
}  // namespace

// Enters `nesting` attachments (the first takes the lock, the others are
// assumed), detaches at the innermost one for `pause_ms` so that other threads
// run theirs, attaches from zero inside the detached section, and unwinds.
// Every step checks the calling thread's depth.
PROBE int probe_attach_depth(int nesting, int pause_ms) {
    if (attach::attach_depth() != 0) return 1;
    attach::Attachment outer = attach::Attachment::acquire();
    if (attach::attach_depth() != 1) return 2;
    int failed = 0;
    auto nest = [&](auto& self, int level) -> void {
        if (level > nesting) {
            attach::DetachedSection detached;
            if (attach::attach_depth() != 0) {
                failed = 3;
                return;
            }
            Sleep(static_cast<DWORD>(pause_ms));
            {
                attach::Attachment again = attach::Attachment::acquire();
                failed = failed ? failed : check(attach::attach_depth() == 1, 4);
                Sleep(static_cast<DWORD>(pause_ms / 4));
                failed = failed ? failed : check(attach::attach_depth() == 1, 5);
            }
            failed = failed ? failed : check(attach::attach_depth() == 0, 6);
            detached.close();
            failed = failed ? failed : check(attach::attach_depth() == nesting, 7);
            return;
        }
        attach::Attachment inner = attach::Attachment::assume_entry();
        if (attach::attach_depth() != level) {
            failed = 8;
            return;
        }
        self(self, level + 1);
        inner.end();
        failed = failed ? failed : check(attach::attach_depth() == level - 1, 9);
    };
    nest(nest, 2);
    outer.end();
    return failed ? failed : check(attach::attach_depth() == 0, 10);
}

// Releases `count` references to `object` from this thread while it is not
// attached: they wait in the pending list for the next attachment.
PROBE int probe_release_detached(PyObject* object, int count) {
    if (attach::attach_depth() != 0) return 1;
    for (int i = 0; i < count; ++i) {
        attach::release(object);
    }
    return 0;
}

PROBE std::int64_t probe_pending_releases() { return static_cast<std::int64_t>(attach::pending_release_count()); }

// Attaches (applying what is pending) and detaches again.
PROBE int probe_attach_once() {
    attach::Attachment attachment = attach::Attachment::acquire();
    return check(attach::attach_depth() == 1, 1);
}

namespace {
attach::OnceCell<int> g_slow_cell;
std::atomic<int> g_slow_cell_runs{0};
}  // namespace

// Every caller gets the cell's value; its initialiser runs once, and gives
// the lock up for `hold_ms` (as one that runs Python code may), so the other
// callers reach the cell while it is initialising and wait there, detached.
PROBE int probe_once_cell(int hold_ms) {
    attach::Attachment attachment = attach::Attachment::acquire();
    const int value = g_slow_cell.get_or_init([&] {
        g_slow_cell_runs.fetch_add(1);
        attach::DetachedSection detached;
        Sleep(static_cast<DWORD>(hold_ms));
        detached.close();
        return 42;
    });
    attachment.end();
    return value;
}

PROBE int probe_once_cell_runs() { return g_slow_cell_runs.load(); }

namespace {
attach::OnceCell<int> g_faulting_cell;
constexpr const char* kProbeFault = "probe fault from a once-cell initialiser";

[[gnu::noinline]] int faulting_initialiser() { raise_fault(kProbeFault); }
}  // namespace

// An internal fault raised in a once-cell's initialiser unwinds through the
// cell and the attachment to a guard like the boundary's. Afterwards the
// depth is back at zero, the lock is given back and the cell is still empty.
PROBE int probe_fault_unwinds() {
    try {
        attach::Attachment attachment = attach::Attachment::acquire();
        (void)g_faulting_cell.get_or_init([] { return faulting_initialiser(); });
        return 1;
    } catch (InternalFault& fault) {
        if (fault_message(fault.payload()) != kProbeFault) return 2;
    } catch (...) {
        return 3;
    }
    if (attach::attach_depth() != 0) return 4;
    if (g_faulting_cell.is_set()) return 5;
    // Another thread must be able to take the lock now.
    int other = -1;
    std::thread([&] {
        attach::Attachment attachment = attach::Attachment::acquire();
        other = g_faulting_cell.get_or_init([] { return 7; });
    }).join();
    return check(other == 7, 6);
}

// An entry whose thread is forbidden to attach: the attachment fault meets
// the armed trap, which reports and ends the process.
PROBE int probe_trap() {
    attach::set_attach_depth(-2);
    PyObject* result = run_at_boundary([]() -> Result<PyObject*> { return static_cast<PyObject*>(nullptr); });
    return result == nullptr ? 1 : 2;
}
