// Attach depth, attaching and detaching, and the process-wide list of
// reference releases deferred until some thread is attached again.
#include "attach/attach.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "fault/internal_fault.hpp"

namespace zorvalind::attach {
namespace {

thread_local std::int64_t tls_attach_depth = 0;

constexpr std::int64_t kTraverseDepth = -1;

[[noreturn]] void raise_prohibited(std::int64_t depth) {
    if (depth == kTraverseDepth) {
        raise_fault(
            "Attaching a thread to the interpreter is prohibited while a __traverse__ implementation is "
            "running.");
    }
    raise_fault("Attaching a thread to the interpreter is currently prohibited.");
}

// Created on the first deferred release and kept for the life of the process.
struct PendingReleaseList {
    std::mutex mutex;
    std::vector<PyObject*> objects;
    // Lets an entry skip the mutex while nothing is pending.
    std::atomic<bool> nonempty{false};
};

std::atomic<PendingReleaseList*> g_pending_list{nullptr};

PendingReleaseList& pending_list() {
    // A function-local static makes the creation once-only and race-free.
    static PendingReleaseList* const list = [] {
        auto* created = new PendingReleaseList;
        g_pending_list.store(created, std::memory_order_release);
        return created;
    }();
    return *list;
}

inline void apply_if_list_exists() noexcept {
    PendingReleaseList* list = g_pending_list.load(std::memory_order_acquire);
    if (list != nullptr && list->nonempty.load(std::memory_order_acquire)) {
        apply_pending_releases();
    }
}

}  // namespace

std::int64_t attach_depth() noexcept { return tls_attach_depth; }

void set_attach_depth(std::int64_t depth) noexcept { tls_attach_depth = depth; }

AttachToken assume() {
    const std::int64_t depth = tls_attach_depth;
    if (depth < 0) {
        raise_prohibited(depth);
    }
    tls_attach_depth = depth + 1;
    apply_if_list_exists();
    return AttachToken::assumed();
}

AttachToken attach() {
    const std::int64_t depth = tls_attach_depth;
    if (depth >= 1) {
        tls_attach_depth = depth + 1;
        apply_if_list_exists();
        return AttachToken::assumed();
    }
    if (depth == kTraverseDepth) {
        raise_prohibited(depth);
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
    const PyGILState_STATE state = PyGILState_Ensure();
    const std::int64_t now = tls_attach_depth;
    if (now < 0) {
        // Give the lock back before unwinding: nothing will end this attachment.
        PyGILState_Release(state);
        raise_prohibited(now);
    }
    tls_attach_depth = now + 1;
    apply_if_list_exists();
    return AttachToken::ensured(state);
}

void end_attachment(AttachToken token) noexcept {
    if (!token.is_assumed()) {
        PyGILState_Release(token.state());
    }
    tls_attach_depth -= 1;
}

DetachToken detach() noexcept {
    const std::int64_t saved = tls_attach_depth;
    tls_attach_depth = 0;
    PyThreadState* state = PyEval_SaveThread();
    return DetachToken{saved, state};
}

void reattach(DetachToken token) noexcept {
    tls_attach_depth = token.saved_depth;
    PyEval_RestoreThread(token.thread_state);
    apply_if_list_exists();
}

void release(PyObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (tls_attach_depth > 0) {
        Py_DECREF(object);
        return;
    }
    PendingReleaseList& list = pending_list();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.objects.push_back(object);
    list.nonempty.store(true, std::memory_order_release);
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
        taken.swap(list->objects);
        list->nonempty.store(false, std::memory_order_release);
    }
    // Outside the mutex: a finaliser may release more references.
    for (PyObject* object : taken) {
        Py_DECREF(object);
    }
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
