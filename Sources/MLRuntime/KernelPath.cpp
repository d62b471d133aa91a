#include "MLRuntime/KernelPath.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "MLRuntime/Error.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace mlruntime {

namespace {

struct Support {
    bool avx2 = false;
    bool avx512 = false;
};

#if defined(__x86_64__)
// Register state the operating system saves on a context switch (XCR0).
uint64_t savedStateMask() noexcept {
    uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

Support detect() noexcept {
    Support support;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return support;
    const bool fma = ecx & (1u << 12), osxsave = ecx & (1u << 27), avx = ecx & (1u << 28), f16c = ecx & (1u << 29);
    if (!osxsave || !avx) return support;
    const uint64_t state = savedStateMask();
    const bool ymmSaved = (state & 0x6) == 0x6;      // SSE and AVX registers
    const bool zmmSaved = (state & 0xE6) == 0xE6;    // and the AVX-512 mask and upper registers
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return support;
    const bool avx2 = ebx & (1u << 5), avx512f = ebx & (1u << 16);
    support.avx2 = ymmSaved && avx2 && fma && f16c;
    support.avx512 = support.avx2 && zmmSaved && avx512f;
    return support;
}
#else
Support detect() noexcept { return {}; }
#endif

const Support& support() noexcept {
    static const Support detected = detect();
    return detected;
}

KernelPath bestBelow(KernelPath limit) noexcept {
    for (int p = static_cast<int>(limit); p > 0; --p)
        if (isSupported(static_cast<KernelPath>(p))) return static_cast<KernelPath>(p);
    return KernelPath::scalar;
}

KernelPath initialPath() noexcept {
    KernelPath limit = KernelPath::avx512;
    if (const char* named = std::getenv("TALKWEFT_KERNELS"))
        if (auto path = kernelPathNamed(named)) limit = *path;
    return bestBelow(limit);
}

std::atomic<KernelPath>& current() noexcept {
    static std::atomic<KernelPath> path{initialPath()};
    return path;
}

}  // namespace

const char* kernelPathName(KernelPath path) noexcept {
    switch (path) {
        case KernelPath::scalar: return "scalar";
        case KernelPath::avx2: return "avx2";
        case KernelPath::avx512: return "avx512";
    }
    return "unknown";
}

std::optional<KernelPath> kernelPathNamed(std::string_view name) noexcept {
    for (KernelPath path : {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512})
        if (name == kernelPathName(path)) return path;
    return std::nullopt;
}

bool isSupported(KernelPath path) noexcept {
    switch (path) {
        case KernelPath::scalar: return true;
        case KernelPath::avx2: return support().avx2;
        case KernelPath::avx512: return support().avx512;
    }
    return false;
}

std::vector<KernelPath> supportedKernelPaths() {
    std::vector<KernelPath> paths;
    for (KernelPath path : {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512})
        if (isSupported(path)) paths.push_back(path);
    return paths;
}

KernelPath kernelPath() noexcept { return current().load(std::memory_order_relaxed); }

void setKernelPath(KernelPath path) {
    if (!isSupported(path))
        throw Error(Error::Code::unsupported,
                    std::string("kernel path ") + kernelPathName(path) + " is not supported by this CPU");
    current().store(path, std::memory_order_relaxed);
}

}  // namespace mlruntime
