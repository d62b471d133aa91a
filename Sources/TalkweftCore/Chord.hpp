// Modifier keys, the two modes, and the tracker that turns held modifier keys into chord events.
//
// Everything here is a plain value without locks; the owner serialises access.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace talkweft {

// The nine modifier keys a chord can be made of, in declaration order (the order of MODKEY_ALL_CASES).
enum class ModKey { leftOption, rightOption, leftCommand, rightCommand, leftControl, rightControl, leftShift, rightShift, fn };

// A chord: a set of modifier keys. Iteration follows declaration order.
using ModKeySet = std::set<ModKey>;

// Every key, in declaration order.
inline constexpr std::array<ModKey, 9> MODKEY_ALL_CASES = {
    ModKey::leftOption,  ModKey::rightOption,  ModKey::leftCommand, ModKey::rightCommand, ModKey::leftControl,
    ModKey::rightControl, ModKey::leftShift,   ModKey::rightShift,  ModKey::fn};

// The serialised name of the key ("leftOption", ..., "fn").
std::string_view modKeyRawValue(ModKey key);
// The key with that exact serialised name (case-sensitive); absent for any other text.
std::optional<ModKey> modKeyFromRawValue(std::string_view raw);
// The key's bit in the platform's modifier flags (device-dependent bits; fn uses bit 23).
std::uint64_t modKeyMask(ModKey key);
// The key's display label with its Linux name, e.g. "Left Alt", "Right Super" or "Fn".
std::string_view modKeyLabel(ModKey key);

// The two modes of a recording.
enum class Mode { dictate, agent };

// "dictate" or "agent".
std::string_view modeRawValue(Mode mode);
// The mode with that exact name; absent for any other text.
std::optional<Mode> modeFromRawValue(std::string_view raw);

// What a change of the held keys means: a recording starts, is upgraded to agent mode, or stops.
struct ChordEvent {
    enum class Kind { start, upgrade, stop };
    Kind kind;
    Mode mode;

    static ChordEvent start(Mode m) { return {Kind::start, m}; }
    static ChordEvent upgrade(Mode m) { return {Kind::upgrade, m}; }
    static ChordEvent stop(Mode m) { return {Kind::stop, m}; }
    bool operator==(const ChordEvent&) const = default;
};

// The keys whose mask bit is set in the raw modifier flags; all other bits are ignored.
ModKeySet calcHeldKeys(std::uint64_t rawFlags);

// The labels of the chord's keys in declaration order joined with " + "; empty for an empty chord.
std::string calcChordLabel(const ModKeySet& chord);

// Turns the complete set of held modifier keys, fed on every change, into chord events.
// An empty chord never matches, so an empty set switches that chord off.
class ChordTracker {
public:
    ModKeySet dictate;
    ModKeySet agent;

    ChordTracker(ModKeySet dictateChord, ModKeySet agentChord)
        : dictate(std::move(dictateChord)), agent(std::move(agentChord)) {}

    // The mode of the chord in progress; absent when idle.
    std::optional<Mode> mode() const { return mode_; }

    // Feeds the keys held now. From idle a chord starts only when `held` equals it exactly (agent
    // chord tested first); while dictating, holding every key of the agent chord upgrades; releasing
    // every key stops. Returns the event, or absent when nothing happened.
    std::optional<ChordEvent> update(const ModKeySet& held);

    // Back to idle without an event. Changing the chords does not reset; the owner does.
    void reset() { mode_.reset(); }

private:
    std::optional<Mode> mode_;
};

// JSON: keys and modes as their raw names; a chord as an array of raw names (duplicates collapse).
// Decoding throws DecodingError (JSONCoding.hpp) for a wrong type or an unknown name.
void to_json(nlohmann::ordered_json& j, ModKey key);
void from_json(const nlohmann::ordered_json& j, ModKey& key);
void to_json(nlohmann::ordered_json& j, Mode mode);
void from_json(const nlohmann::ordered_json& j, Mode& mode);
nlohmann::ordered_json chordToJSON(const ModKeySet& chord);
ModKeySet chordFromJSON(const nlohmann::ordered_json& j);

}  // namespace talkweft
