// Attach depth, attaching and detaching, and the process-wide list of
// reference releases deferred until some thread is attached again.
#include "attach/attach.hpp"

#include <atomic>
#include <mutex>
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

// Created on the first deferred release and kept for the life of the process.
struct PendingReleaseList {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};

std::atomic<PendingReleaseList*> g_pending_list{nullptr};
// Set once the runtime is gone, whether or not the list exists yet; the list
// reads it under its mutex.
std::atomic<bool> g_releases_abandoned{false};

PendingReleaseList& pending_list() {
    // A function-local static makes the creation once-only and race-free.
    static PendingReleaseList* const list = [] {
        auto* created = new PendingReleaseList;
        g_pending_list.store(created, std::memory_order_release);
        return created;
    }();
    return *list;
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
    list.objects.push_back(object);
    detail::g_releases_pending.store(true, std::memory_order_release);
}

void apply_pending_releases() noexcept {
    PendingReleaseList* list = g_pending_list.load(std::memory_order_acquire);
    if (list == nullptr) {
        return;
    }
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> lock(list->mutex);
        if (list->objects.empty()) {
            return;
        }
        if (g_releases_abandoned.load(std::memory_order_seq_cst)) {
            list->objects.clear();
            detail::g_releases_pending.store(false, std::memory_order_release);
            return;
        }
        taken.swap(list->objects);
        detail::g_releases_pending.store(false, std::memory_order_release);
    }
    // Outside the mutex: a finaliser may release more references.
    for (PyObject* object : taken) {
        Py_DECREF(object);
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
    detail::g_releases_pending.store(false, std::memory_order_release);
}

std::size_t pending_release_count() noexcept {
    PendingReleaseList* list = g_pending_list.load(std::memory_order_acquire);
    if (list == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(list->mutex);
    return list->objects.size();
}

}  // namespace zorvalind::attach
