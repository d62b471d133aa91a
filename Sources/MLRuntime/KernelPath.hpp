#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace mlruntime {

// The instruction sets the compute kernels (and the bulk half conversions) may use, in order of
// preference. avx512: AVX-512F where a kernel has such a loop, AVX2 elsewhere; avx2: AVX2, FMA and
// F16C; scalar: plain C++ (the only path off x86-64).
enum class KernelPath { scalar, avx2, avx512 };

// "scalar", "avx2", "avx512".
const char* kernelPathName(KernelPath path) noexcept;
// The path with that name; nothing for any other text.
std::optional<KernelPath> kernelPathNamed(std::string_view name) noexcept;

// Whether this CPU and its operating system (saved register state) support `path`. Detected once;
// thread-safe.
bool isSupported(KernelPath path) noexcept;
// Every supported path, scalar first.
std::vector<KernelPath> supportedKernelPaths();

// The path every kernel uses now. At start it is the best supported one, lowered to the path the
// environment variable TALKWEFT_KERNELS names ("scalar", "avx2", "avx512") when that is set: an
// unsupported name gives the best supported path below it, an unknown one is ignored.
// Thread-safe.
KernelPath kernelPath() noexcept;

// Makes every kernel use `path` from the next call on (tests run each path this way). Throws
// Error(unsupported) naming the path when the CPU lacks it. Thread-safe: a kernel running at that
// moment finishes on either path, and every path computes the same function.
void setKernelPath(KernelPath path);

}  // namespace mlruntime
