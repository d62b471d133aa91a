// The X clipboard's conversions: another owner's TARGETS reply and target names (any app may offer
// anything), and the targets we serve for entries written. Read types are unique, never meta
// targets or UTF8_STRING, and UTF8_STRING on offer always reads as plain text; what we serve has each
// name once, the entries' own bytes, and reads back (by another copy of us) as the types written.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "FuzzInput.hpp"
#include "Platform/Linux/ClipboardTargets.hpp"
#include "Platform/Pasteboard.hpp"

using namespace talkweft::platform;
using namespace talkweft::platform::linuxdesktop;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto text = fuzz::asText(data, size);
    FUZZ_CHECK(parseTargetsReply(text).size() == text.size() / 4);

    // Target names offered by another owner: the input's NUL-separated pieces.
    std::vector<std::string> names;
    for (const auto piece : fuzz::splitInput(text, 64)) names.emplace_back(piece);
    const auto offered = calcOfferedTypes(names);
    FUZZ_CHECK(std::set<std::string>(offered.begin(), offered.end()).size() == offered.size());
    for (const auto& type : offered) FUZZ_CHECK(!type.empty() && !isMetaTarget(type) && type != "UTF8_STRING");
    if (std::find(names.begin(), names.end(), "UTF8_STRING") != names.end())
        FUZZ_CHECK(std::find(offered.begin(), offered.end(), PASTEBOARD_PLAIN_TEXT) != offered.end());

    // Entries written: pairs of pieces (type, bytes); a type's first entry wins.
    static const std::string_view KNOWN[] = {PASTEBOARD_PLAIN_TEXT, PASTEBOARD_TRANSIENT, PASTEBOARD_AUTO_GENERATED, "image/png"};
    ClipboardEntries entries;
    const auto pieces = fuzz::splitInput(text, 16);
    for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
        std::string type(pieces[i]);
        if (type.size() == 1) type = std::string(KNOWN[static_cast<unsigned char>(type[0]) % 4]);
        if (type.empty() || std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.first == type; })) continue;
        entries.emplace_back(type, std::string(pieces[i + 1]));
    }
    const auto served = calcServedTargets(entries);
    std::vector<std::string> servedNames;
    for (const auto& target : served) {
        FUZZ_CHECK(std::find(servedNames.begin(), servedNames.end(), target.first) == servedNames.end());
        servedNames.push_back(target.first);
        if (target.first == PASSWORD_MANAGER_HINT) continue;
        const bool fromEntry = std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
            return e.second == target.second && (e.first == target.first || e.first == PASTEBOARD_PLAIN_TEXT);
        });
        FUZZ_CHECK(fromEntry);
    }
    // Read back by another copy of us: every type written that is not a marker, a meta target or a
    // text alias shadowed by plain text comes back.
    const auto readBack = calcOfferedTypes(servedNames);
    const bool utf8 = std::any_of(entries.begin(), entries.end(),
                                  [](const auto& e) { return e.first == PASTEBOARD_PLAIN_TEXT || e.first == "UTF8_STRING"; });
    for (const auto& [type, bytes] : entries) {
        if (type == PASTEBOARD_TRANSIENT || type == PASTEBOARD_AUTO_GENERATED || isMetaTarget(type)) continue;
        if (utf8 && (type == "STRING" || type == "TEXT" || type == "COMPOUND_TEXT" || type == "text/plain")) continue;
        const std::string expected = type == "UTF8_STRING" ? std::string(PASTEBOARD_PLAIN_TEXT) : type;
        FUZZ_CHECK(std::find(readBack.begin(), readBack.end(), expected) != readBack.end());
    }
    return 0;
}
