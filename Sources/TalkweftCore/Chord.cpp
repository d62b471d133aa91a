#include "TalkweftCore/Chord.hpp"

#include <cstddef>

#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

namespace {

struct ModKeyTraits {
    std::string_view raw;
    std::uint64_t mask;
    std::string_view label;
};

// One row per key, in declaration order. The serialised names keep the stored settings readable
// across versions; the labels are the names Linux keyboards and desktops use (Option is Alt,
// Command is Super).
constexpr std::array<ModKeyTraits, 9> MODKEY_TRAITS = {{
    {"leftOption", 0x20, "Left Alt"},
    {"rightOption", 0x40, "Right Alt"},
    {"leftCommand", 0x08, "Left Super"},
    {"rightCommand", 0x10, "Right Super"},
    {"leftControl", 0x01, "Left Ctrl"},
    {"rightControl", 0x2000, "Right Ctrl"},
    {"leftShift", 0x02, "Left Shift"},
    {"rightShift", 0x04, "Right Shift"},
    {"fn", 0x800000, "Fn"},
}};

const ModKeyTraits& traits(ModKey key) { return MODKEY_TRAITS[static_cast<std::size_t>(key)]; }

bool includes(const ModKeySet& held, const ModKeySet& chord) {
    for (ModKey k : chord)
        if (!held.count(k)) return false;
    return true;
}

}  // namespace

std::string_view modKeyRawValue(ModKey key) { return traits(key).raw; }

std::optional<ModKey> modKeyFromRawValue(std::string_view raw) {
    for (ModKey k : MODKEY_ALL_CASES)
        if (traits(k).raw == raw) return k;
    return std::nullopt;
}

std::uint64_t modKeyMask(ModKey key) { return traits(key).mask; }

std::string_view modKeyLabel(ModKey key) { return traits(key).label; }

std::string_view modeRawValue(Mode mode) { return mode == Mode::dictate ? "dictate" : "agent"; }

std::optional<Mode> modeFromRawValue(std::string_view raw) {
    if (raw == "dictate") return Mode::dictate;
    if (raw == "agent") return Mode::agent;
    return std::nullopt;
}

ModKeySet calcHeldKeys(std::uint64_t rawFlags) {
    ModKeySet held;
    for (ModKey k : MODKEY_ALL_CASES)
        if (rawFlags & modKeyMask(k)) held.insert(k);
    return held;
}

std::string calcChordLabel(const ModKeySet& chord) {
    std::string out;
    for (ModKey k : MODKEY_ALL_CASES) {
        if (!chord.count(k)) continue;
        if (!out.empty()) out += " + ";
        out += modKeyLabel(k);
    }
    return out;
}

std::optional<ChordEvent> ChordTracker::update(const ModKeySet& held) {
    if (!mode_) {
        if (!agent.empty() && held == agent) {
            mode_ = Mode::agent;
            return ChordEvent::start(Mode::agent);
        }
        if (!dictate.empty() && held == dictate) {
            mode_ = Mode::dictate;
            return ChordEvent::start(Mode::dictate);
        }
        return std::nullopt;
    }
    if (held.empty()) {
        const Mode ended = *mode_;
        mode_.reset();
        return ChordEvent::stop(ended);
    }
    if (*mode_ == Mode::dictate && !agent.empty() && includes(held, agent)) {
        mode_ = Mode::agent;
        return ChordEvent::upgrade(Mode::agent);
    }
    return std::nullopt;
}

void to_json(nlohmann::ordered_json& j, ModKey key) { j = std::string(modKeyRawValue(key)); }

void from_json(const nlohmann::ordered_json& j, ModKey& key) {
    if (!j.is_string()) throw DecodingError("a modifier key must be a string");
    const auto& raw = j.get_ref<const std::string&>();
    const auto k = modKeyFromRawValue(raw);
    if (!k) throw DecodingError("unknown modifier key \"" + raw + "\"");
    key = *k;
}

void to_json(nlohmann::ordered_json& j, Mode mode) { j = std::string(modeRawValue(mode)); }

void from_json(const nlohmann::ordered_json& j, Mode& mode) {
    if (!j.is_string()) throw DecodingError("a mode must be a string");
    const auto& raw = j.get_ref<const std::string&>();
    const auto m = modeFromRawValue(raw);
    if (!m) throw DecodingError("unknown mode \"" + raw + "\"");
    mode = *m;
}

nlohmann::ordered_json chordToJSON(const ModKeySet& chord) {
    auto arr = nlohmann::ordered_json::array();
    for (ModKey k : chord) arr.push_back(std::string(modKeyRawValue(k)));
    return arr;
}

ModKeySet chordFromJSON(const nlohmann::ordered_json& j) {
    if (!j.is_array()) throw DecodingError("a chord must be an array of modifier key names");
    ModKeySet chord;
    for (const auto& e : j) chord.insert(e.get<ModKey>());
    return chord;
}

}  // namespace talkweft
