// Stands in for the interpreter's DLL (python3.dll) in the Windows platform
// check: the lock that attaching and detaching take and give back, the two
// state queries of attaching from zero, and reference counting. Every other
// name the probe DLL imports is exported as `unmodelled`, which ends the
// process (the definition file is generated).
// Not a model of the interpreter; never shipped.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {
SRWLOCK g_lock = SRWLOCK_INIT;
// The thread holding the lock, 0 when free.
volatile LONG g_holder = 0;

void fail(const char* what) {
    std::fprintf(stderr, "interpreter double: %s\n", what);
    std::fflush(stderr);
    std::_Exit(70);
}

void take() {
    AcquireSRWLockExclusive(&g_lock);
    InterlockedExchange(&g_holder, static_cast<LONG>(GetCurrentThreadId()));
}

void give_back() {
    if (g_holder != static_cast<LONG>(GetCurrentThreadId())) fail("the lock was given back by a thread not holding it");
    InterlockedExchange(&g_holder, 0);
    ReleaseSRWLockExclusive(&g_lock);
}

// A thread's "thread state": its id, tagged, so that restoring another
// thread's state is caught.
void* state_of_current_thread() {
    return reinterpret_cast<void*>((static_cast<ULONG_PTR>(GetCurrentThreadId()) << 4) | 0x8);
}
}  // namespace

extern "C" {

// PyGILState_STATE: 0 locked (already held), 1 unlocked (taken here).
__declspec(dllexport) int PyGILState_Ensure() {
    if (g_holder == static_cast<LONG>(GetCurrentThreadId())) return 0;
    take();
    return 1;
}

__declspec(dllexport) void PyGILState_Release(int state) {
    if (state == 1) give_back();
}

__declspec(dllexport) void* PyEval_SaveThread() {
    give_back();
    return state_of_current_thread();
}

__declspec(dllexport) void PyEval_RestoreThread(void* state) {
    if (state != state_of_current_thread()) fail("a thread restored another thread's state");
    take();
}

// Reference counting, which the stable ABI makes calls into the interpreter:
// the check's objects keep their count in their first word, as a PyObject
// does. Only a thread holding the lock may change it.
__declspec(dllexport) void _Py_IncRef(void* object) {
    if (g_holder != static_cast<LONG>(GetCurrentThreadId())) fail("a reference was taken without the lock");
    ++*static_cast<long long*>(object);
}

__declspec(dllexport) void _Py_DecRef(void* object) {
    if (g_holder != static_cast<LONG>(GetCurrentThreadId())) fail("a reference was released without the lock");
    --*static_cast<long long*>(object);
}

__declspec(dllexport) int Py_IsInitialized() { return 1; }
__declspec(dllexport) int Py_IsFinalizing() { return 0; }

// Queried by platform_check.exe: whether any thread holds the lock.
__declspec(dllexport) int double_lock_held() { return g_holder != 0; }

__declspec(dllexport) void unmodelled() { fail("an interpreter call that the platform check does not model"); }
__declspec(dllexport) char unmodelled_data[64];
}
