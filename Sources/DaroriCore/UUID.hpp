// A 128-bit random identifier (version 4), used to tell one decoding run from another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace darori {

struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    // A fresh random identifier. Thread-safe.
    static UUID random();
    // The usual upper-case text form, 8-4-4-4-12 hexadecimal digits.
    std::string uuidString() const;

    friend bool operator==(const UUID&, const UUID&) = default;
};

}  // namespace darori

template <>
struct std::hash<darori::UUID> {
    std::size_t operator()(const darori::UUID& id) const noexcept;
};
