// Link-time stand-ins that keep the shipped module's C library floor low.
//
// The C++ runtime and its unwinder are linked in statically from this
// compiler's own archives, which were built against a recent C library and
// refer to symbols an older one lacks. Each stand-in here answers one such
// reference with an interface that C library has had for long. Nothing here
// is exported (the version script keeps every symbol but the entry point
// local), and the --wrap options that route the runtime's calls here are set
// beside the module's other link options.
//
// Not all of them are off the path of a successful call: on x86-64 every
// memcpy the module makes goes through the wrapper below (one extra jump),
// and the runtime's static-initialisation guards read the single-threaded
// flag. The thread-once and key stand-ins run once per process, and the
// object lookup only while a fault unwinds.
//
// GNU C library only. Each architecture's first symbol version is the one
// its oldest C library gave these functions.
#include <cstddef>
#include <cstdint>

#if defined(__GLIBC__)

#if defined(__x86_64__)
#define ZORVALIND_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__i386__)
#define ZORVALIND_GLIBC_BASE "GLIBC_2.0"
#elif defined(__aarch64__) || defined(__powerpc64__)
#define ZORVALIND_GLIBC_BASE "GLIBC_2.17"
#elif defined(__arm__)
#define ZORVALIND_GLIBC_BASE "GLIBC_2.4"
#elif defined(__s390x__)
#define ZORVALIND_GLIBC_BASE "GLIBC_2.2"
#elif defined(__riscv) && __riscv_xlen == 64
#define ZORVALIND_GLIBC_BASE "GLIBC_2.27"
#else
#error "the first GNU C library symbol version of this architecture is not known"
#endif

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

extern "C" {

// The C library's "no other thread has ever run" flag (2.32). The runtime
// reads it to skip atomic reference counts (locales, shared pointers); 0
// means "unknown", so it always takes the atomic path, which is correct in
// every process.
char __libc_single_threaded = 0;

// Older entry points, bound by version.
int zorvalind_pthread_once_base(pthread_once_t* once, void (*init)());
int zorvalind_pthread_key_create_base(pthread_key_t* key, void (*destructor)(void*));
__asm__(".symver zorvalind_pthread_once_base, pthread_once@" ZORVALIND_GLIBC_BASE);
__asm__(".symver zorvalind_pthread_key_create_base, __pthread_key_create@" ZORVALIND_GLIBC_BASE);

// The runtime's threading layer moved into the C library proper in 2.34 and
// its references carry that version; the older one is the same function.
int __wrap_pthread_once(pthread_once_t* once, void (*init)()) { return zorvalind_pthread_once_base(once, init); }
int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return zorvalind_pthread_key_create_base(key, destructor);
}

#if defined(__x86_64__)
// The first memcpy, kept by the C library as an overlap-safe copy (2.14 gave
// memcpy a new version on x86-64 when it stopped being one).
void* zorvalind_memcpy_2_2_5(void* to, const void* from, std::size_t size);
__asm__(".symver zorvalind_memcpy_2_2_5, memcpy@GLIBC_2.2.5");
void* __wrap_memcpy(void* to, const void* from, std::size_t size) { return zorvalind_memcpy_2_2_5(to, from, size); }
#endif

}  // extern "C"

namespace {

struct FindRequest {
    std::uintptr_t address;
    dl_find_object* result;
    bool found;
};

int find_object_containing(dl_phdr_info* info, std::size_t /*size*/, void* data) {
    auto* request = static_cast<FindRequest*>(data);
    const ElfW(Phdr)* eh_frame = nullptr;
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    bool contains = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_GNU_EH_FRAME) {
            eh_frame = &header;
        } else if (header.p_type == PT_LOAD) {
            const std::uintptr_t from = info->dlpi_addr + header.p_vaddr;
            const std::uintptr_t to = from + header.p_memsz;
            start = (start == 0 || from < start) ? from : start;
            end = to > end ? to : end;
            contains = contains || (request->address >= from && request->address < to);
        }
    }
    if (!contains) {
        return 0;
    }
    request->result->dlfo_flags = 0;
    request->result->dlfo_map_start = reinterpret_cast<void*>(start);  // NOLINT(performance-no-int-to-ptr)
    request->result->dlfo_map_end = reinterpret_cast<void*>(end);      // NOLINT(performance-no-int-to-ptr)
    request->result->dlfo_link_map = nullptr;
    request->result->dlfo_eh_frame = eh_frame == nullptr
                                         ? nullptr
                                         : reinterpret_cast<void*>(  // NOLINT(performance-no-int-to-ptr)
                                               info->dlpi_addr + eh_frame->p_vaddr);
    request->found = true;
    return 1;
}

}  // namespace

// The unwinder finds a frame's unwind tables through the loader's
// _dl_find_object (2.35) and has no other way once built against it. This one
// walks the loaded objects instead: slower, and run only while a fault unwinds.
extern "C" int _dl_find_object(void* address, dl_find_object* result) noexcept {
    FindRequest request{reinterpret_cast<std::uintptr_t>(address), result, false};
    dl_iterate_phdr(find_object_containing, &request);
    return request.found ? 0 : -1;
}

// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

#endif
