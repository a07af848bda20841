/* Instrumented like the module: the preflight of `make test-asan` calls it to
 * prove that an undefined-behaviour report reaches the report folder. */
int zorvalind_preflight_overflow(int value) { return value + 2147483647; }
