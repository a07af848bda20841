// The Windows platform check: runs one scenario (argv[1]) against the probe
// DLL, which it loads only after its worker threads have started, so that the
// module's per-thread state meets threads older than the module, as it does
// under an interpreter that imports the module late. Prints one line per
// scenario and exits 0 when every check held. Never shipped.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using ProbeIntInt = int (*)(int, int);
using ProbeInt = int (*)(int);
using ProbeVoid = int (*)();
using ProbeI64 = std::int64_t (*)();
using ProbeRelease = int (*)(void*, int);

HMODULE g_probes = nullptr;

template <class F>
F probe(const char* name) {
    FARPROC found = GetProcAddress(g_probes, name);
    if (found == nullptr) {
        std::fprintf(stderr, "platform check: no probe %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(reinterpret_cast<void*>(found));
}

// Threads started before the probe DLL is loaded; each runs the job it is
// given once the DLL is there, with its index.
class EarlyThreads {
public:
    explicit EarlyThreads(int count) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, i] {
                while (!go_.load()) go_.wait(false);
                results_[static_cast<std::size_t>(i)] = job_(i);
            });
        }
        results_.resize(static_cast<std::size_t>(count));
    }
    std::vector<int> run(std::function<int(int)> job) {
        job_ = std::move(job);
        go_.store(true);
        go_.notify_all();
        for (auto& thread : threads_) thread.join();
        return results_;
    }

private:
    std::vector<std::thread> threads_;
    std::vector<int> results_;
    std::function<int(int)> job_;
    std::atomic<bool> go_{false};
};

bool all_equal(const std::vector<int>& values, int expected) {
    for (int value : values) {
        if (value != expected) return false;
    }
    return true;
}

std::string joined(const std::vector<int>& values) {
    std::string text;
    for (int value : values) text += (text.empty() ? "" : ",") + std::to_string(value);
    return text;
}

// CPU time the calling thread has used.
double thread_cpu_ms() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

constexpr int kThreads = 4;

int attach_depth(EarlyThreads& threads) {
    auto depth_rounds = probe<ProbeIntInt>("probe_attach_depth");
    // Thread i nests i + 1 attachments, five rounds, detaching at the
    // innermost one so that the others interleave.
    const std::vector<int> codes = threads.run([&](int i) {
        for (int round = 0; round < 5; ++round) {
            if (int code = depth_rounds(i + 1, 20)) return code;
        }
        return 0;
    });
    const int main_code = depth_rounds(7, 1);
    std::printf("attach-depth: threads %s, main thread %d\n", joined(codes).c_str(), main_code);
    return all_equal(codes, 0) && main_code == 0;
}

struct FakeObject {
    std::int64_t refcnt;
    void* type;
};

int releases(EarlyThreads& threads) {
    auto release = probe<ProbeRelease>("probe_release_detached");
    auto pending = probe<ProbeI64>("probe_pending_releases");
    auto attach_once = probe<ProbeVoid>("probe_attach_once");
    constexpr int kEach = 500;
    FakeObject object{1 + kThreads * kEach, nullptr};
    const std::vector<int> codes = threads.run([&](int) { return release(&object, kEach); });
    const std::int64_t waiting = pending();
    const std::int64_t before = object.refcnt;
    const int attached = attach_once();
    std::printf("releases: threads %s, pending %lld, count %lld -> %lld, pending after attach %lld\n",
                joined(codes).c_str(), static_cast<long long>(waiting), static_cast<long long>(before),
                static_cast<long long>(object.refcnt), static_cast<long long>(pending()));
    return all_equal(codes, 0) && attached == 0 && waiting == kThreads * kEach && before == 1 + kThreads * kEach &&
           object.refcnt == 1 && pending() == 0;
}

int once_cell(EarlyThreads& threads) {
    auto get = probe<ProbeInt>("probe_once_cell");
    auto runs = probe<ProbeVoid>("probe_once_cell_runs");
    constexpr int kHoldMs = 400;
    std::vector<double> cpu_ms(kThreads);
    const std::vector<int> values = threads.run([&](int i) {
        const double before = thread_cpu_ms();
        const int value = get(kHoldMs);
        cpu_ms[static_cast<std::size_t>(i)] = thread_cpu_ms() - before;
        return value;
    });
    double total = 0;
    for (double ms : cpu_ms) total += ms;
    // The threads but the initialiser wait for the whole hold (which the
    // initialiser sleeps through): waiters that spun would use a good part of
    // it even on a busy machine, waiters that slept next to nothing.
    const bool slept = total < kHoldMs / 20.0;
    std::printf("once-cell: values %s, initialiser runs %d, cpu of the threads %.0f ms over a %d ms hold (%s)\n",
                joined(values).c_str(), runs(), total, kHoldMs, slept ? "waiters slept" : "waiters spun");
    return all_equal(values, 42) && runs() == 1 && slept;
}

int fault(EarlyThreads& threads) {
    auto unwinds = probe<ProbeVoid>("probe_fault_unwinds");
    auto lock_held = reinterpret_cast<int (*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(ZORVALIND_INTERPRETER_DLL), "double_lock_held")));
    const std::vector<int> codes = threads.run([&](int i) { return i == 0 ? unwinds() : 0; });
    const int held = lock_held();
    std::printf("fault: guard %d, lock held afterwards %d\n", codes[0], held);
    return codes[0] == 0 && held == 0;
}

int trap(EarlyThreads& threads) {
    auto spring = probe<ProbeVoid>("probe_trap");
    (void)threads.run([](int) { return 0; });
    const int code = spring();
    std::printf("trap: the entry returned (%d)\n", code);
    return 0;
}

// The shipped module, loaded as the interpreter would load it: its imports
// resolve against a DLL named as the interpreter's (python3.dll for the stable
// ABI build), its runtime initialises and finalises, and it has its entry
// point. The entry point is not called.
int load_module(EarlyThreads& threads) {
    (void)threads.run([](int) { return 0; });
    HMODULE module = LoadLibraryW((std::wstring(L"..\\") + ZORVALIND_MODULE_FILE).c_str());
    const DWORD error = module == nullptr ? GetLastError() : 0;
    const bool entry = module != nullptr && GetProcAddress(module, "PyInit__zorvalind") != nullptr;
    const bool freed = module != nullptr && FreeLibrary(module) != 0;
    std::printf("load-module: loaded %d (error %lu), entry point %d, unloaded %d\n", module != nullptr,
                static_cast<unsigned long>(error), entry, freed);
    return module != nullptr && entry && freed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: platform_check attach-depth|releases|once-cell|fault|trap|load-module\n");
        return 2;
    }
    const std::string scenario = argv[1];
    EarlyThreads threads(kThreads);
    g_probes = LoadLibraryW(L"zorvalind_platform_probes.dll");
    if (g_probes == nullptr) {
        std::fprintf(stderr, "platform check: LoadLibrary failed (%lu)\n", GetLastError());
        (void)threads.run([](int) { return 0; });
        return 2;
    }
    int ok = 0;
    if (scenario == "attach-depth")
        ok = attach_depth(threads);
    else if (scenario == "releases")
        ok = releases(threads);
    else if (scenario == "once-cell")
        ok = once_cell(threads);
    else if (scenario == "fault")
        ok = fault(threads);
    else if (scenario == "trap")
        ok = trap(threads);
    else if (scenario == "load-module")
        ok = load_module(threads);
    else {
        (void)threads.run([](int) { return 0; });
        std::fprintf(stderr, "platform check: unknown scenario %s\n", scenario.c_str());
        return 2;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
