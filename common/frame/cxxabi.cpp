// The C++ runtime keeps its per-thread exception globals in general-dynamic
// TLS, which would make every module need the dynamic loader at load time
// (__tls_get_addr). Defining the two accessors here, over initial-exec TLS,
// keeps that member of the static runtime out of the link. Initial-exec TLS
// in a dlopen'ed module draws on the loader's static TLS surplus; one small
// record per module fits it.
#include <cstddef>
#include <exception>

// The record must be the one libstdc++'s unwinder reads (unwind-cxx.h):
// caught-exception stack first, then the uncaught count; ARM EH adds a
// field, which this build does not support.
#if !defined(__GLIBCXX__) || defined(__ARM_EABI_UNWINDER__)
#error "the exception globals below follow libstdc++'s Itanium layout"
#endif

namespace __cxxabiv1 {

struct __cxa_eh_globals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};

static_assert(offsetof(__cxa_eh_globals, caughtExceptions) == 0, "libstdc++ reads caughtExceptions first");
static_assert(offsetof(__cxa_eh_globals, uncaughtExceptions) == sizeof(void*),
              "libstdc++ reads uncaughtExceptions right after the pointer");
static_assert(sizeof(__cxa_eh_globals) == 2 * sizeof(void*), "no further fields in the Itanium record");

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
