// Test-only library of the allocation-failure sweep: makes the module's own
// C-heap allocations fail. It rewrites the global offset table entries of the
// loaded modules whose file names begin with "_zorvalind" for the allocation
// functions they import (the C allocator and, where the C++ runtime is not
// linked in, operator new), so exactly the modules' calls come here, whatever
// was preloaded before (a sanitizer's runtime included). Loaded with ctypes by
// the sweep's child; never linked into a module.
//
//   heap_faults_install()        rewrites the entries; returns how many
//   heap_faults_arm(start, stop) counts from zero; calls after the first
//                                `start` fail, up to `stop` (0: no end)
//   heap_faults_disarm()         every call passes again, uncounted
//   heap_faults_calls(), heap_faults_failures()
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_start{0};
std::atomic<long> g_stop{0};
std::atomic<long> g_calls{0};
std::atomic<long> g_failures{0};

bool refuse() {
    if (!g_armed.load(std::memory_order_acquire)) return false;
    const long n = g_calls.fetch_add(1) + 1;
    const long stop = g_stop.load();
    if (n > g_start.load() && (stop <= 0 || n <= stop)) {
        g_failures.fetch_add(1);
        return true;
    }
    return false;
}

void* hook_malloc(std::size_t size) {
    if (refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::malloc(size);
}

void* hook_calloc(std::size_t count, std::size_t size) {
    if (refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::calloc(count, size);
}

void* hook_realloc(void* block, std::size_t size) {
    if (refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::realloc(block, size);
}

int hook_posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (refuse()) return ENOMEM;
    return posix_memalign(out, alignment, size);
}

void* hook_aligned_alloc(std::size_t alignment, std::size_t size) {
    if (refuse()) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::aligned_alloc(alignment, size);
}

void* hook_new(std::size_t size) {
    if (refuse()) throw std::bad_alloc();
    return ::operator new(size);
}

void* hook_new_array(std::size_t size) {
    if (refuse()) throw std::bad_alloc();
    return ::operator new[](size);
}

void* hook_new_aligned(std::size_t size, std::align_val_t alignment) {
    if (refuse()) throw std::bad_alloc();
    return ::operator new(size, alignment);
}

void* hook_new_array_aligned(std::size_t size, std::align_val_t alignment) {
    if (refuse()) throw std::bad_alloc();
    return ::operator new[](size, alignment);
}

struct Hook {
    const char* name;
    void* replacement;
    // A bad_alloc thrown here is unwound by the shared C++ runtime, which can
    // do so only through a module that uses that runtime too (one that
    // imports the personality routine), not through one with its own copy.
    bool throws = false;
};

const Hook kHooks[] = {
    {"malloc", reinterpret_cast<void*>(&hook_malloc)},
    {"calloc", reinterpret_cast<void*>(&hook_calloc)},
    {"realloc", reinterpret_cast<void*>(&hook_realloc)},
    {"posix_memalign", reinterpret_cast<void*>(&hook_posix_memalign)},
    {"aligned_alloc", reinterpret_cast<void*>(&hook_aligned_alloc)},
    {"_Znwm", reinterpret_cast<void*>(&hook_new), true},
    {"_Znam", reinterpret_cast<void*>(&hook_new_array), true},
    {"_ZnwmSt11align_val_t", reinterpret_cast<void*>(&hook_new_aligned), true},
    {"_ZnamSt11align_val_t", reinterpret_cast<void*>(&hook_new_array_aligned), true},
};

bool is_module(const char* path) {
    if (path == nullptr) return false;
    const char* base = std::strrchr(path, '/');
    base = base == nullptr ? path : base + 1;
    return std::strncmp(base, "_zorvalind", 10) == 0;
}

// The loader relocates the dynamic section's addresses in place on this
// architecture; an unrelocated one is an offset from the load address.
template <class T>
T* at(ElfW(Addr) base, ElfW(Addr) value) {
    return reinterpret_cast<T*>(value < base ? base + value : value);
}

void patch(ElfW(Addr) address, void* replacement) {
    const long page = sysconf(_SC_PAGESIZE);
    auto* start = reinterpret_cast<void*>(address & ~static_cast<ElfW(Addr)>(page - 1));
    // The entry may lie in the part made read-only after relocation.
    mprotect(start, static_cast<std::size_t>(page) * 2, PROT_READ | PROT_WRITE);
    *reinterpret_cast<void**>(address) = replacement;
}

bool imports(const ElfW(Rela) * relocations, std::size_t bytes, const ElfW(Sym) * symbols, const char* strings,
             const char* wanted) {
    for (std::size_t i = 0; relocations != nullptr && i < bytes / sizeof(ElfW(Rela)); ++i) {
        const ElfW(Sym)& symbol = symbols[ELF64_R_SYM(relocations[i].r_info)];
        if (symbol.st_shndx == SHN_UNDEF && std::strcmp(strings + symbol.st_name, wanted) == 0) return true;
    }
    return false;
}

int patch_relocations(ElfW(Addr) base, const ElfW(Rela) * relocations, std::size_t bytes, const ElfW(Sym) * symbols,
                      const char* strings, bool shared_runtime) {
    int patched = 0;
    for (std::size_t i = 0; i < bytes / sizeof(ElfW(Rela)); ++i) {
        const ElfW(Rela)& relocation = relocations[i];
        const auto type = ELF64_R_TYPE(relocation.r_info);
        if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
        const char* name = strings + symbols[ELF64_R_SYM(relocation.r_info)].st_name;
        for (const Hook& hook : kHooks) {
            if (std::strcmp(name, hook.name) == 0 && (shared_runtime || !hook.throws)) {
                patch(base + relocation.r_offset, hook.replacement);
                ++patched;
            }
        }
    }
    return patched;
}

int install_in(dl_phdr_info* info, std::size_t, void* total) {
    if (!is_module(info->dlpi_name)) return 0;
    const ElfW(Addr) base = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
        const auto* dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + info->dlpi_phdr[i].p_vaddr);
        const ElfW(Rela)* plt = nullptr;
        const ElfW(Rela)* rela = nullptr;
        std::size_t plt_bytes = 0;
        std::size_t rela_bytes = 0;
        const ElfW(Sym)* symbols = nullptr;
        const char* strings = nullptr;
        for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
            switch (entry->d_tag) {
                case DT_JMPREL: plt = at<const ElfW(Rela)>(base, entry->d_un.d_ptr); break;
                case DT_PLTRELSZ: plt_bytes = entry->d_un.d_val; break;
                case DT_RELA: rela = at<const ElfW(Rela)>(base, entry->d_un.d_ptr); break;
                case DT_RELASZ: rela_bytes = entry->d_un.d_val; break;
                case DT_SYMTAB: symbols = at<const ElfW(Sym)>(base, entry->d_un.d_ptr); break;
                case DT_STRTAB: strings = at<const char>(base, entry->d_un.d_ptr); break;
                default: break;
            }
        }
        if (symbols == nullptr || strings == nullptr) continue;
        int& count = *static_cast<int*>(total);
        const bool shared_runtime = imports(rela, rela_bytes, symbols, strings, "__gxx_personality_v0") ||
                                    imports(plt, plt_bytes, symbols, strings, "__gxx_personality_v0");
        if (plt != nullptr) count += patch_relocations(base, plt, plt_bytes, symbols, strings, shared_runtime);
        if (rela != nullptr) count += patch_relocations(base, rela, rela_bytes, symbols, strings, shared_runtime);
    }
    return 0;
}

}  // namespace

extern "C" {

int heap_faults_install(void) {
    int total = 0;
    dl_iterate_phdr(install_in, &total);
    return total;
}

void heap_faults_arm(long start, long stop) {
    g_armed.store(false);
    g_calls.store(0);
    g_failures.store(0);
    g_start.store(start);
    g_stop.store(stop);
    g_armed.store(true, std::memory_order_release);
}

void heap_faults_disarm(void) { g_armed.store(false, std::memory_order_release); }
long heap_faults_calls(void) { return g_calls.load(); }
long heap_faults_failures(void) { return g_failures.load(); }
}
