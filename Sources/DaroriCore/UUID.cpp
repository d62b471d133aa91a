#include "DaroriCore/UUID.hpp"

#include <cstdio>
#include <mutex>
#include <random>

namespace darori {

UUID UUID::random() {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    UUID id;
    {
        std::lock_guard guard(mutex);
        const std::uint64_t a = engine(), b = engine();
        for (int i = 0; i < 8; ++i) {
            id.bytes[i] = static_cast<std::uint8_t>(a >> (8 * i));
            id.bytes[8 + i] = static_cast<std::uint8_t>(b >> (8 * i));
        }
    }
    id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0F) | 0x40);  // version 4
    id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return id;
}

std::string UUID::uuidString() const {
    std::string out;
    char buf[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

}  // namespace darori

std::size_t std::hash<darori::UUID>::operator()(const darori::UUID& id) const noexcept {
    std::uint64_t h = 1469598103934665603ull;
    for (const auto b : id.bytes) h = (h ^ b) * 1099511628211ull;
    return static_cast<std::size_t>(h);
}
