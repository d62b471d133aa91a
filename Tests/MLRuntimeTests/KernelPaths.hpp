// Running a test body on every kernel path this CPU supports: a machine with AVX-512 must still
// prove the AVX2 and scalar kernels a user's machine may run.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "MLRuntime/KernelPath.hpp"

// Sets a kernel path for its lifetime, then restores the previous one.
class KernelPathScope {
public:
    explicit KernelPathScope(mlruntime::KernelPath path) : previous_(mlruntime::kernelPath()) {
        mlruntime::setKernelPath(path);
    }
    ~KernelPathScope() { mlruntime::setKernelPath(previous_); }
    KernelPathScope(const KernelPathScope&) = delete;
    KernelPathScope& operator=(const KernelPathScope&) = delete;

private:
    mlruntime::KernelPath previous_;
};

namespace mlruntime {
// Test names and failures show the path's name.
inline void PrintTo(KernelPath path, std::ostream* out) { *out << kernelPathName(path); }
}  // namespace mlruntime

// Runs `body` once per supported path, each failure traced with the path's name.
template <typename Body>
void onEveryKernelPath(Body&& body) {
    for (mlruntime::KernelPath path : mlruntime::supportedKernelPaths()) {
        SCOPED_TRACE(std::string("kernel path ") + mlruntime::kernelPathName(path));
        KernelPathScope scope(path);
        body();
    }
}

