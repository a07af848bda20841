// Probes of the allocation-failure sweep (tests/faults/). The interpreter's
// own C-API test module makes allocations fail (set_nomemory); these probes
// open that window at the exact point of the call under test, count what
// passes through it, and close it again before anything else runs, so the
// interpreter's own work around a Python-level call never uses up the
// failure. Each probe returns (ok, value, calls, failures): ok is false when
// the call raised, value is the result or the raised exception, calls the
// number of allocation requests made inside the window and failures the number
// of them that were refused.
#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "err/tuple.hpp"
#include "full_api.hpp"
#include "probes.hpp"

namespace zorvalind::testing {

namespace {

// set_nomemory and remove_mem_hooks, given once by the sweep.
PyObject* g_set_nomemory = nullptr;
PyObject* g_remove_mem_hooks = nullptr;

// The window: refusals from `start` (allocations after the first `start`
// fail, up to `stop`; 0 means no end), with the counting hooks on top. A
// negative start counts without refusing anything.
class Window {
public:
    Window(long start, long stop) : start_(start), stop_(stop) {}

    // Everything that may allocate happens before the refusals begin.
    bool prepare() {
        if (start_ < 0) return true;
        if (g_set_nomemory == nullptr || g_remove_mem_hooks == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "fault injection is not configured");
            return false;
        }
        arguments_[0] = PyLong_FromLong(start_);
        arguments_[1] = PyLong_FromLong(stop_);
        return arguments_[0] != nullptr && arguments_[1] != nullptr;
    }

    bool open() {
        if (start_ >= 0) {
            PyObject* done = PyObject_Vectorcall(g_set_nomemory, arguments_, 2, nullptr);
            if (done == nullptr) return false;
            Py_DECREF(done);
        }
        install_counting_hooks();
        open_ = true;
        return true;
    }

    // Leaves a pending exception alone: it is taken before and put back after.
    void close() {
        if (!open_) return;
        open_ = false;
        remove_counting_hooks();
        if (start_ >= 0) {
            PyObject* pending = PyErr_GetRaisedException();
            PyObject* done = PyObject_Vectorcall(g_remove_mem_hooks, nullptr, 0, nullptr);
            Py_XDECREF(done);
            PyErr_Clear();
            PyErr_SetRaisedException(pending);
        }
    }

    ~Window() {
        close();
        Py_XDECREF(arguments_[0]);
        Py_XDECREF(arguments_[1]);
    }

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

private:
    long start_;
    long stop_;
    PyObject* arguments_[2] = {nullptr, nullptr};
    bool open_ = false;
};

// (ok, value, calls, failures) from a call's result; takes the pending
// exception when the result is null.
Outcome report(PyObject* result) {
    const long calls = counted_calls();
    const long failures = counted_failures();
    PyObject* value = result;
    const bool ok = result != nullptr;
    if (!ok) {
        value = PyErr_GetRaisedException();
        if (value == nullptr) value = Py_NewRef(Py_None);
    }
    PyObject* tuple = Py_BuildValue("(ONll)", ok ? Py_True : Py_False, value, calls, failures);
    if (tuple == nullptr) return fetch_pending();
    return tuple;
}

// ---- probes ------------------------------------------------------------------

// fault_injection_configure(set_nomemory, remove_mem_hooks)
PyObject* t_configure(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* set_nomemory = nullptr;
        PyObject* remove_hooks = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &set_nomemory, &remove_hooks)) return fetch_pending();
        PyObject* const old_set_nomemory = g_set_nomemory;
        PyObject* const old_remove_hooks = g_remove_mem_hooks;
        g_set_nomemory = Py_NewRef(set_nomemory);
        g_remove_mem_hooks = Py_NewRef(remove_hooks);
        Py_XDECREF(old_set_nomemory);
        Py_XDECREF(old_remove_hooks);
        return Py_NewRef(Py_None);
    });
}

// injected_vectorcall(start, stop, callable, positional, kwnames, kwvalues)
PyObject* t_injected_vectorcall(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        long start = 0;
        long stop = 0;
        PyObject* callable = nullptr;
        PyObject* positional = nullptr;
        PyObject* kwnames = nullptr;
        PyObject* kwvalues = nullptr;
        if (!PyArg_ParseTuple(args, "llOO!OO!", &start, &stop, &callable, &PyTuple_Type, &positional, &kwnames,
                              &PyTuple_Type, &kwvalues)) {
            return fetch_pending();
        }
        Result<NativeCall> call = native_call(positional, kwnames, kwvalues);
        if (!call.ok()) return call.take_error();
        NativeCall& made = call.value();
        Window window(start, stop);
        if (!window.prepare() || !window.open()) return fetch_pending();
        PyObject* result = PyObject_Vectorcall(callable, made.stack.data(), made.nargs, made.kwnames);
        window.close();
        return report(result);
    });
}

using InitFunction = PyObject* (*)();

// The arguments of both entry-point probes: (start, stop, address), the
// address taken from the loaded library.
struct InjectedInit {
    long start = 0;
    long stop = 0;
    InitFunction init = nullptr;
};

Result<InjectedInit> injected_init_arguments(PyObject* args) {
    InjectedInit parsed;
    PyObject* address = nullptr;
    if (!PyArg_ParseTuple(args, "llO", &parsed.start, &parsed.stop, &address)) return fetch_pending();
    parsed.init = reinterpret_cast<InitFunction>(PyLong_AsVoidPtr(address));
    if (parsed.init == nullptr) return fetch_pending();
    return parsed;
}

// injected_init(start, stop, address): calls the module entry point at
// `address` (taken from the loaded library) with no import machinery around it.
PyObject* t_injected_init(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        Result<InjectedInit> parsed = injected_init_arguments(args);
        if (!parsed.ok()) return parsed.take_error();
        const auto [start, stop, init] = parsed.value();
        Window window(start, stop);
        if (!window.prepare() || !window.open()) return fetch_pending();
        PyObject* result = init();
        window.close();
        return report(result);
    });
}

// "Type: message" of the pending exception, or of none.
std::string describe_pending() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return "no exception";
    std::string text = "<unnamed>";
    if (PyObject* name = PyType_GetFullyQualifiedName(Py_TYPE(raised))) {
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr);
        if (utf8 != nullptr) text = utf8;
        Py_DECREF(name);
    }
    PyObject* str = PyObject_Str(raised);
    if (str != nullptr) {
        const char* utf8 = PyUnicode_AsUTF8AndSize(str, nullptr);
        text += ": ";
        text += utf8 != nullptr ? utf8 : "<text not readable>";
        Py_DECREF(str);
    }
    PyErr_Clear();
    Py_DECREF(raised);
    return text;
}

// injected_init_in_subinterpreter(start, stop, address): the entry point's
// first call in a new interpreter (the legacy configuration); only that call
// runs inside the window. The value is None for a module, else "Type: message".
PyObject* t_injected_init_in_subinterpreter(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        Result<InjectedInit> parsed = injected_init_arguments(args);
        if (!parsed.ok()) return parsed.take_error();
        const auto [start, stop, init] = parsed.value();
        PyThreadState* main_state = PyThreadState_Get();
        PyThreadState* sub_state = new_legacy_subinterpreter(main_state);
        if (sub_state == nullptr) return PyErr::new_lazy(PyExc_RuntimeError, "could not create a subinterpreter");
        bool ok = false;
        std::string text;
        long calls = 0;
        long failures = 0;
        {
            Window window(start, stop);
            if (window.prepare() && window.open()) {
                PyObject* result = init();
                window.close();
                calls = counted_calls();
                failures = counted_failures();
                ok = result != nullptr;
                Py_XDECREF(result);
                if (!ok) text = describe_pending();
            } else {
                text = "window: " + describe_pending();
            }
        }
        end_subinterpreter(sub_state, main_state);
        PyObject* value = ok ? Py_NewRef(Py_None) : PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
        if (value == nullptr) return fetch_pending();
        PyObject* tuple = Py_BuildValue("(ONll)", ok ? Py_True : Py_False, value, calls, failures);
        if (tuple == nullptr) return fetch_pending();
        return tuple;
    });
}

// ---- one record examined from two threads ---------------------------------------

// A gate that native threads wait at without the interpreter lock.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

struct ThreadOutcome {
    PyObject* value = nullptr;  // the instance seen, or the exception raised
    bool ok = false;
};

PyObject* examine_at_boundary(PyErr& record) {
    return run_at_boundary([&]() -> Outcome { return Py_NewRef(exception_value(record)); });
}

// examine_from_two_threads(start, stop, message): a lazy TypeError record,
// examined by two native threads at once inside the window. Their thread
// states exist before the window opens and are freed after it closes. The
// value is a pair of (ok, instance or exception).
PyObject* t_examine_from_two_threads(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        long start = 0;
        long stop = 0;
        const char* message = nullptr;
        if (!PyArg_ParseTuple(args, "lls", &start, &stop, &message)) return fetch_pending();
        std::optional<PyErr> record(PyErr::new_lazy_copied(PyExc_TypeError, message));
        Window window(start, stop);
        if (!window.prepare()) return fetch_pending();
        constexpr int kThreads = 2;
        ThreadOutcome outcomes[kThreads];
        Gate ready_gates[kThreads];
        Gate go;
        Gate done_gates[kThreads];
        Gate release;
        std::vector<std::thread> threads;
        threads.reserve(kThreads);
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                PyGILState_STATE gil = PyGILState_Ensure();
                PyThreadState* saved = PyEval_SaveThread();
                ready_gates[i].open();
                go.wait();
                PyEval_RestoreThread(saved);
                PyObject* result = examine_at_boundary(*record);
                outcomes[i].ok = result != nullptr;
                outcomes[i].value = result != nullptr ? result : PyErr_GetRaisedException();
                saved = PyEval_SaveThread();
                done_gates[i].open();
                release.wait();
                PyEval_RestoreThread(saved);
                PyGILState_Release(gil);
            });
        }
        Py_BEGIN_ALLOW_THREADS;
        for (Gate& gate : ready_gates) gate.wait();
        Py_END_ALLOW_THREADS;
        const bool opened = window.open();
        go.open();
        Py_BEGIN_ALLOW_THREADS;
        for (Gate& gate : done_gates) gate.wait();
        Py_END_ALLOW_THREADS;
        window.close();
        const long calls = counted_calls();
        const long failures = counted_failures();
        release.open();
        Py_BEGIN_ALLOW_THREADS;
        for (std::thread& thread : threads) thread.join();
        Py_END_ALLOW_THREADS;
        record.reset();
        PyObject* pair = PyTuple_New(kThreads);
        for (int i = 0; i < kThreads; ++i) {
            PyObject* value = outcomes[i].value != nullptr ? outcomes[i].value : Py_NewRef(Py_None);
            PyObject* item = Py_BuildValue("(ON)", outcomes[i].ok ? Py_True : Py_False, value);
            if (pair != nullptr && item != nullptr) {
                tuple_fill(pair, i, item);
            } else {
                Py_XDECREF(item);
            }
        }
        if (pair == nullptr || !opened) {
            Py_XDECREF(pair);
            return fetch_pending();
        }
        PyObject* tuple = Py_BuildValue("(ONll)", Py_True, pair, calls, failures);
        if (tuple == nullptr) return fetch_pending();
        return tuple;
    });
}

PyMethodDef fault_injection_methods[] = {
    {"fault_injection_configure", t_configure, METH_VARARGS, nullptr},
    {"injected_vectorcall", t_injected_vectorcall, METH_VARARGS, nullptr},
    {"injected_init", t_injected_init, METH_VARARGS, nullptr},
    {"injected_init_in_subinterpreter", t_injected_init_in_subinterpreter, METH_VARARGS, nullptr},
    {"examine_from_two_threads", t_examine_from_two_threads, METH_VARARGS, nullptr},
};

}  // namespace

std::span<const PyMethodDef> injection_probes() { return fault_injection_methods; }

}  // namespace zorvalind::testing
