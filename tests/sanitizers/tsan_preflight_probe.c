/* Instrumented like the module: the preflight of `make test-tsan` calls it to
 * prove that a data race is reported and that the report reaches the report
 * folder. Two threads write the same counter without synchronisation. */
#include <pthread.h>

static long counter;

static void *bump(void *unused) {
    (void)unused;
    for (int i = 0; i < 1000; i++) counter++;
    return 0;
}

long zorvalind_preflight_race(void) {
    pthread_t first, second;
    pthread_create(&first, 0, bump, 0);
    pthread_create(&second, 0, bump, 0);
    pthread_join(first, 0);
    pthread_join(second, 0);
    return counter;
}
