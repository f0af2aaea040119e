// The C++ runtime keeps its per-thread exception globals in general-dynamic
// TLS, which would make every module need the dynamic loader at load time.
// Defining the two accessors here, over initial-exec TLS, keeps that part of
// the static runtime out of the link.
namespace __cxxabiv1 {

struct __cxa_eh_globals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};

namespace {
thread_local __cxa_eh_globals eh_globals __attribute__((tls_model("initial-exec")));
}

extern "C" __attribute__((visibility("hidden"))) __cxa_eh_globals* __cxa_get_globals() noexcept {
    return &eh_globals;
}

extern "C" __attribute__((visibility("hidden"))) __cxa_eh_globals* __cxa_get_globals_fast() noexcept {
    return &eh_globals;
}

}  // namespace __cxxabiv1
