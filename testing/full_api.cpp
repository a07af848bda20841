// The test-only module's use of the interpreter's full API (full_api.hpp). The
// rest of the module and the core see the limited API when the stable ABI is
// built; this file alone does not, and so ties the test-only module to the
// interpreter version it is built for. It includes no header of the core: an
// inline function of the core compiled here would differ from its copies
// compiled elsewhere.
#undef Py_LIMITED_API
#include "full_api.hpp"

#include <Python.h>

#include <atomic>

namespace zorvalind::testing {

namespace {

constexpr PyMemAllocatorDomain kDomains[] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
constexpr int kDomainCount = 3;

PyMemAllocatorEx g_inner[kDomainCount];
std::atomic<long> g_calls{0};
std::atomic<long> g_failures{0};

void* counted(void* block) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    if (block == nullptr) {
        g_failures.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

PyMemAllocatorEx& inner_of(void* ctx) { return *static_cast<PyMemAllocatorEx*>(ctx); }

void* hook_malloc(void* ctx, size_t size) {
    PyMemAllocatorEx& inner = inner_of(ctx);
    return counted(inner.malloc(inner.ctx, size));
}

void* hook_calloc(void* ctx, size_t count, size_t size) {
    PyMemAllocatorEx& inner = inner_of(ctx);
    return counted(inner.calloc(inner.ctx, count, size));
}

void* hook_realloc(void* ctx, void* block, size_t size) {
    PyMemAllocatorEx& inner = inner_of(ctx);
    return counted(inner.realloc(inner.ctx, block, size));
}

void hook_free(void* ctx, void* block) {
    PyMemAllocatorEx& inner = inner_of(ctx);
    inner.free(inner.ctx, block);
}

}  // namespace

void install_counting_hooks() {
    g_calls.store(0);
    g_failures.store(0);
    for (int i = 0; i < kDomainCount; ++i) {
        PyMem_GetAllocator(kDomains[i], &g_inner[i]);
    }
    for (int i = 0; i < kDomainCount; ++i) {
        PyMemAllocatorEx hook{&g_inner[i], hook_malloc, hook_calloc, hook_realloc, hook_free};
        PyMem_SetAllocator(kDomains[i], &hook);
    }
}

void remove_counting_hooks() {
    for (int i = 0; i < kDomainCount; ++i) {
        PyMem_SetAllocator(kDomains[i], &g_inner[i]);
    }
}

long counted_calls() { return g_calls.load(); }
long counted_failures() { return g_failures.load(); }

PyThreadState* new_legacy_subinterpreter(PyThreadState* main_state) {
    PyInterpreterConfig config = _PyInterpreterConfig_LEGACY_INIT;
    PyThreadState* sub_state = nullptr;
    PyStatus status = Py_NewInterpreterFromConfig(&sub_state, &config);
    if (PyStatus_Exception(status)) {
        PyThreadState_Swap(main_state);
        return nullptr;
    }
    return sub_state;
}

}  // namespace zorvalind::testing
