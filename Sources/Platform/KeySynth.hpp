// Synthesized key events, posted to whichever app has the keyboard focus.
#pragma once

#include <cstdint>
#include <vector>

namespace talkweft::platform {

// Virtual key codes (the application's own numbering; backends map them to their keys).
inline constexpr std::uint16_t KEY_V = 9;
inline constexpr std::uint16_t KEY_ESCAPE = 53;

// Device-independent modifier flags carried by synthesized events.
inline constexpr std::uint64_t FLAG_SHIFT = 0x20000;
inline constexpr std::uint64_t FLAG_CONTROL = 0x40000;
inline constexpr std::uint64_t FLAG_OPTION = 0x80000;
inline constexpr std::uint64_t FLAG_COMMAND = 0x100000;

struct KeyStroke {
    std::uint16_t keyCode = 0;
    bool down = true;
    std::uint64_t flags = 0;
    bool operator==(const KeyStroke&) const = default;
};

class KeySynth {
public:
    virtual ~KeySynth() = default;

    // Creates one event per stroke, then posts them in order. When any event cannot be created
    // nothing is posted and the result is false; true when all were posted. Command-V is the paste
    // chord: a backend whose desktop pastes with another chord (Control-V on Linux) posts that one.
    // Main thread.
    virtual bool post(const std::vector<KeyStroke>& strokes) = 0;
};

}  // namespace talkweft::platform
