// The coverage callback for programs of a fuzz build that are not fuzz
// targets (the daemon, the tools, the tests): the instrumented libraries call
// it on every basic block, and only the driver counts anything.
extern "C" __attribute__((weak)) void __sanitizer_cov_trace_pc() {}
