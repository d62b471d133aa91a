#include "Platform/Linux/ClipboardTargets.hpp"

#include <algorithm>
#include <cstring>

#include "Platform/Pasteboard.hpp"

namespace talkweft::platform::linuxdesktop {

namespace {

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isTextAlias(std::string_view name) {
    return name == "STRING" || name == "TEXT" || name == "COMPOUND_TEXT" || name == "text/plain" || name == PASTEBOARD_PLAIN_TEXT;
}

}  // namespace

bool isMetaTarget(std::string_view name) {
    return name == "TARGETS" || name == "TIMESTAMP" || name == "MULTIPLE" || name == "SAVE_TARGETS" || name == "DELETE" ||
           name == "INSERT_SELECTION" || name == "INSERT_PROPERTY" || name == PASSWORD_MANAGER_HINT;
}

ClipboardEntries calcServedTargets(const ClipboardEntries& entries) {
    ClipboardEntries targets;
    auto serve = [&](std::string_view name, const std::string& bytes) {
        for (const auto& t : targets)
            if (t.first == name) return;
        targets.emplace_back(std::string(name), bytes);
    };
    bool hint = false;
    for (const auto& [type, bytes] : entries) {
        if (type == PASTEBOARD_TRANSIENT || type == PASTEBOARD_AUTO_GENERATED) {
            hint = true;
        } else if (type == PASTEBOARD_PLAIN_TEXT) {
            serve("UTF8_STRING", bytes);
            serve(PASTEBOARD_PLAIN_TEXT, bytes);
            serve("text/plain", bytes);
            if (isAscii(bytes)) {
                serve("STRING", bytes);
                serve("TEXT", bytes);
            }
        } else {
            serve(type, bytes);
        }
    }
    if (hint) serve(PASSWORD_MANAGER_HINT, "secret");
    return targets;
}

std::vector<std::uint32_t> parseTargetsReply(std::string_view bytes) {
    std::vector<std::uint32_t> atoms(bytes.size() / 4);
    if (!atoms.empty()) std::memcpy(atoms.data(), bytes.data(), atoms.size() * 4);
    return atoms;
}

std::vector<std::string> calcOfferedTypes(const std::vector<std::string>& targetNames) {
    const bool hasUtf8 = std::find(targetNames.begin(), targetNames.end(), "UTF8_STRING") != targetNames.end();
    std::vector<std::string> out;
    for (std::string name : targetNames) {
        if (name.empty() || isMetaTarget(name)) continue;
        if (name == "UTF8_STRING") name = std::string(PASTEBOARD_PLAIN_TEXT);
        else if (hasUtf8 && isTextAlias(name)) continue;
        if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(std::move(name));
    }
    return out;
}

}  // namespace talkweft::platform::linuxdesktop
