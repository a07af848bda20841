/* Preloaded after libasan and libubsan. Each runtime carries its own copy of
 * the report-file state, but libubsan's call that applies UBSAN_OPTIONS'
 * log_path binds to libasan's exported copy, so UBSan reports would go to
 * stderr. This points libubsan's own copy at ZORVALIND_UBSAN_LOG_PATH. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>

__attribute__((constructor)) static void set_ubsan_report_path(void) {
    const char* path = getenv("ZORVALIND_UBSAN_LOG_PATH");
    if (path == NULL || *path == '\0') {
        return;
    }
    void* runtime = dlopen("libubsan.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (runtime == NULL) {
        return;
    }
    void (*set_path)(const char*) = (void (*)(const char*))dlsym(runtime, "__sanitizer_set_report_path");
    if (set_path != NULL) {
        set_path(path);
    }
}
