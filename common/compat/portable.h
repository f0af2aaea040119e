// What differs between compilers and processors rather than interpreters:
// the few GCC/clang spellings the frame uses, each with its meaning, and
// what stands in for it elsewhere. GCC and clang (Linux x86-64 and aarch64,
// macOS) take the first branch; the MSVC branch is written for Windows
// builds and has not been compiled (no Windows here).
//
// Checked for aarch64 and not needing a fence: `char` is unsigned there, and
// no code reads a plain `char` as a number; a body's frame is placed at a
// 16-byte offset in its object, which operator new's alignment (16 on both)
// allows (asserted in frame/driver.cpp); the
// unwinder is libgcc's DWARF one on both CPUs (see frame/cxxabi.cpp for the
// exception globals, whose record is the same on x86-64 and aarch64).
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
// Code the call path of every method runs: kept together by the compiler.
#define VX_HOT __attribute__((hot))
// A thread-local read without the dynamic loader's help (no __tls_get_addr):
// the variable lives in the static TLS block set up when the module loads.
#define VX_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#else
#define VX_HOT
// MSVC's thread_local in a DLL is already read at a fixed offset.
#define VX_INITIAL_EXEC_TLS
#endif

namespace vx::compat {

// The index of the lowest set bit of `bits`, which is not 0.
inline int lowest_set_bit(uint32_t bits) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctz(bits);
#else
    unsigned long index;
    _BitScanForward(&index, bits);
    return static_cast<int>(index);
#endif
}

}  // namespace vx::compat
