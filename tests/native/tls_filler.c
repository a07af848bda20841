/* Test-only library: one initial-exec thread-local block of TLS_FILLER_SIZE
 * bytes. Loaded with dlopen, it takes that much of the loader's static TLS
 * reserve, or fails to load when the reserve has less left. */
#ifndef TLS_FILLER_SIZE
#error "compile with -DTLS_FILLER_SIZE=<bytes>"
#endif

__attribute__((tls_model("initial-exec"))) __thread char tls_filler_block[TLS_FILLER_SIZE];

char* tls_filler_touch(void) {
    tls_filler_block[0] = 1;
    return tls_filler_block;
}
