#pragma once

#include <string_view>

namespace mlruntime {

// Which processors a model may run on. The choice is kept and reported; this runtime computes
// everything on the CPU whatever is chosen.
enum class ComputeUnits : int { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" for any other value.
std::string_view description(ComputeUnits units) noexcept;
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" for any other value.
std::string_view displayName(ComputeUnits units) noexcept;

}  // namespace mlruntime
