// The C++ runtime keeps its per-thread exception globals in general-dynamic
// TLS, which would make every module need the dynamic loader at load time
// (__tls_get_addr). Defining the two accessors here, over initial-exec TLS,
// keeps that member of the static runtime out of the link. Initial-exec TLS
// in a dlopen'ed module draws on the loader's static TLS surplus; one small
// record per module fits it.
//
// Only where the C++ runtime is linked statically into an ELF module (the
// build defines VEXA_OWN_EH_GLOBALS then); a shared runtime keeps its own.
#if defined(VEXA_OWN_EH_GLOBALS)
#include <cstddef>
#include <exception>

// The record must be the one the runtime's unwinder reads (libstdc++'s
// unwind-cxx.h, libc++abi's cxa_exception.h: the same Itanium record):
// caught-exception stack first, then the uncaught count; ARM EH adds a
// field, which this build does not support.
#if !(defined(__GLIBCXX__) || defined(_LIBCPP_VERSION)) || defined(__ARM_EABI_UNWINDER__) || defined(__ARM_EABI__)
#error "the exception globals below follow the Itanium layout of libstdc++ and libc++abi"
#endif

namespace __cxxabiv1 {

struct __cxa_eh_globals {
    void* caughtExceptions;
    unsigned int uncaughtExceptions;
};

static_assert(offsetof(__cxa_eh_globals, caughtExceptions) == 0, "the runtime reads caughtExceptions first");
static_assert(offsetof(__cxa_eh_globals, uncaughtExceptions) == sizeof(void*),
              "the runtime reads uncaughtExceptions right after the pointer");
static_assert(sizeof(__cxa_eh_globals) == 2 * sizeof(void*), "no further fields in the Itanium record");

namespace {
thread_local __cxa_eh_globals eh_globals __attribute__((tls_model("initial-exec")));
}

extern "C" __attribute__((visibility("hidden"))) __cxa_eh_globals* __cxa_get_globals() noexcept { return &eh_globals; }

extern "C" __attribute__((visibility("hidden"))) __cxa_eh_globals* __cxa_get_globals_fast() noexcept {
    return &eh_globals;
}

}  // namespace __cxxabiv1

#endif  // VEXA_OWN_EH_GLOBALS
