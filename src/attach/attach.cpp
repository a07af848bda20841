// Attach depth, attaching and detaching, and the process-wide list of
// reference releases deferred until some thread is attached again.
#include "attach/attach.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "fault/internal_fault.hpp"
#include "platform.hpp"

namespace zorvalind::attach {

namespace detail {

std::atomic<bool> g_releases_pending{false};

// The depth a __traverse__ implementation runs at.
constexpr std::int64_t kTraverseDepth = -1;

void raise_prohibited(std::int64_t depth) {
    if (depth == kTraverseDepth) {
        raise_fault(
            "Attaching a thread to the interpreter is prohibited while a __traverse__ implementation is "
            "running.");
    }
    raise_fault("Attaching a thread to the interpreter is currently prohibited.");
}

}  // namespace detail

namespace {

using detail::depth_slot;
using detail::kTraverseDepth;

// The list must take every reference without failing. When its vector cannot
// grow (the heap is exhausted), the reference goes to a fixed reserve in the
// list's static storage, which needs no allocation and is drained like the
// vector at the next attachment. When the reserve is full too, the reference
// is kept for good: its object stays alive to the end of the process. That is
// a leak, never a use after free or a double release, so it is sound; it is
// counted and reported once on standard error, so it is not silent.
constexpr std::size_t kReserveSlots = 64;

struct PendingReleaseList {
    std::mutex mutex;
    std::vector<PyObject*> objects;
    PyObject* reserve[kReserveSlots] = {};
    std::size_t reserved = 0;
    std::size_t kept = 0;
};

std::atomic<PendingReleaseList*> g_pending_list{nullptr};
// Set once the runtime is gone, whether or not the list exists yet; the list
// reads it under its mutex.
std::atomic<bool> g_releases_abandoned{false};

// Created on the first deferred release in static storage (no allocation)
// and never destroyed: a release may come during the process's exit.
PendingReleaseList& pending_list() noexcept {
    alignas(PendingReleaseList) static unsigned char storage[sizeof(PendingReleaseList)];
    // A function-local static makes the creation once-only and race-free.
    static PendingReleaseList* const list = [] {
        auto* created = new (storage) PendingReleaseList;
        g_pending_list.store(created, std::memory_order_release);
        return created;
    }();
    return *list;
}

// Cold: the vector could not grow; under the list's mutex.
void hold_in_reserve(PendingReleaseList& list, PyObject* object) noexcept {
    if (list.reserved < kReserveSlots) {
        list.reserve[list.reserved++] = object;
        return;
    }
    if (list.kept++ == 0) {
        write_fault_report("out of memory: a deferred reference release is kept, its object stays alive");
    }
}

}  // namespace

void check_attach_from_zero(const std::int64_t& depth) {
    if (depth == kTraverseDepth) {
        detail::raise_prohibited(kTraverseDepth);
    }
    if (Py_IsInitialized() == 0) {
        raise_fault(
            "assertion failed: `Py_IsInitialized() != 0`: The Python interpreter is not initialized and "
            "automatic initialization is not enabled.\n\nConsider calling `Py_Initialize()` before "
            "attempting to use Python APIs.");
    }
    if (Py_IsFinalizing() != 0) {
        raise_fault("Cannot attach to the Python interpreter while it is finalizing.");
    }
}

AttachToken attach() {
    std::int64_t& slot = depth_slot();
    const std::int64_t depth = slot;
    if (depth >= 1) {
        slot = depth + 1;
        apply_pending_releases_if_any();
        return AttachToken::assumed();
    }
    check_attach_from_zero(slot);
    const PyGILState_STATE state = PyGILState_Ensure();
    const std::int64_t now = slot;
    if (now < 0) {
        // Give the lock back before unwinding: nothing will end this attachment.
        PyGILState_Release(state);
        detail::raise_prohibited(now);
    }
    slot = now + 1;
    apply_pending_releases_if_any();
    return AttachToken::ensured(state);
}

DetachToken detach() noexcept {
    std::int64_t& slot = depth_slot();
    const std::int64_t saved = slot;
    slot = 0;
    PyThreadState* state = PyEval_SaveThread();
    return DetachToken{saved, state, &slot};
}

void reattach(DetachToken token) noexcept {
    *token.depth = token.saved_depth;
    PyEval_RestoreThread(token.thread_state);
    apply_pending_releases_if_any();
}

void release(PyObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (depth_slot() > 0) {
        Py_DECREF(object);
        return;
    }
    PendingReleaseList& list = pending_list();
    std::lock_guard<std::mutex> lock(list.mutex);
    try {
        list.objects.push_back(object);
    } catch (...) {
        hold_in_reserve(list, object);
    }
    detail::g_releases_pending.store(true, std::memory_order_release);
}

void apply_pending_releases() noexcept {
    PendingReleaseList* list = g_pending_list.load(std::memory_order_acquire);
    if (list == nullptr) {
        return;
    }
    std::vector<PyObject*> taken;
    PyObject* reserved[kReserveSlots];
    std::size_t reserved_count = 0;
    {
        std::lock_guard<std::mutex> lock(list->mutex);
        if (list->objects.empty() && list->reserved == 0) {
            return;
        }
        if (g_releases_abandoned.load(std::memory_order_seq_cst)) {
            list->objects.clear();
            list->reserved = 0;
            detail::g_releases_pending.store(false, std::memory_order_release);
            return;
        }
        taken.swap(list->objects);
        reserved_count = list->reserved;
        std::copy_n(list->reserve, reserved_count, reserved);
        list->reserved = 0;
        detail::g_releases_pending.store(false, std::memory_order_release);
    }
    // Outside the mutex: a finaliser may release more references.
    for (PyObject* object : taken) {
        Py_DECREF(object);
    }
    for (std::size_t i = 0; i < reserved_count; ++i) {
        Py_DECREF(reserved[i]);
    }
}

void abandon_pending_releases() noexcept {
    g_releases_abandoned.store(true, std::memory_order_seq_cst);
    PendingReleaseList* list = g_pending_list.load(std::memory_order_seq_cst);
    if (list == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(list->mutex);
    list->objects.clear();
    list->reserved = 0;
    detail::g_releases_pending.store(false, std::memory_order_release);
}

std::size_t pending_release_count() noexcept {
    PendingReleaseList* list = g_pending_list.load(std::memory_order_acquire);
    if (list == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(list->mutex);
    return list->objects.size() + list->reserved;
}

}  // namespace zorvalind::attach
