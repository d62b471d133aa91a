// What the heads-up panel shows.
#pragma once

#include <string>

#include "Platform/MainLoop.hpp"
#include "TalkweftCore/Chord.hpp"

namespace talkweft {

struct HUDState {
    enum class Kind { listening, transcribing, thinking, reply, error, note, hidden };
    Kind kind = Kind::hidden;
    Mode mode = Mode::dictate;  // listening, transcribing
    bool scoped = false;        // listening: the request applies to a selection
    std::string text;           // thinking: the instruction; reply, error, note: the text
    platform::TimePoint start{};  // thinking: when the agent started (main loop clock)

    static HUDState listening(Mode m, bool scoped) { return {Kind::listening, m, scoped, {}, {}}; }
    static HUDState transcribing(Mode m) { return {Kind::transcribing, m, false, {}, {}}; }
    static HUDState thinking(std::string instruction, platform::TimePoint start) {
        return {Kind::thinking, Mode::dictate, false, std::move(instruction), start};
    }
    static HUDState reply(std::string t) { return {Kind::reply, Mode::dictate, false, std::move(t), {}}; }
    static HUDState error(std::string t) { return {Kind::error, Mode::dictate, false, std::move(t), {}}; }
    static HUDState note(std::string t) { return {Kind::note, Mode::dictate, false, std::move(t), {}}; }
    static HUDState hidden() { return {}; }

    // By case and payload (fields a case does not use keep their defaults).
    bool operator==(const HUDState&) const = default;
};

}  // namespace talkweft
