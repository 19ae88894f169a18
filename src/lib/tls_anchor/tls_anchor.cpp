// A companion library that the module loads when it is imported. Its one
// initial-exec reference to a thread-local variable of the C++ runtime makes
// the loader give the runtime's thread-local data (among it the exception
// state every throw and catch touches) a place in the static block that each
// thread receives together with its stack. Without it the runtime, loaded
// after the interpreter started, keeps that data in blocks the loader
// allocates on first use in each thread, and a failed allocation there
// aborts the process: an out-of-memory exception on a worker thread would
// end the process instead of being reported.
extern __thread void* runtime_once_call __asm__("_ZSt11__once_call")
    __attribute__((tls_model("initial-exec")));

extern "C" __attribute__((visibility("default"))) void* synaptor_tls_anchor() {
    return &runtime_once_call;
}
