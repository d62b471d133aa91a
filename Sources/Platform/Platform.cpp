#include "Platform/Platform.hpp"

#include <atomic>
#include <stdexcept>

namespace talkweft::platform {

namespace {
std::atomic<Platform*> g_current{nullptr};
std::atomic<std::uint64_t> g_generation{0};
}  // namespace

Platform& current() {
    Platform* p = g_current.load();
    if (p == nullptr) throw std::logic_error("no platform installed");
    return *p;
}

bool hasCurrent() { return g_current.load() != nullptr; }

void setCurrent(Platform* platform) {
    g_current.store(platform);
    g_generation.fetch_add(1);
}

std::uint64_t currentGeneration() { return g_generation.load(); }

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(g_current.load()) { setCurrent(&platform); }

ScopedPlatform::~ScopedPlatform() { setCurrent(previous_); }

}  // namespace talkweft::platform
