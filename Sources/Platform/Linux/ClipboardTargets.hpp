// What the X11 clipboard offers and serves, by target name, free of any X connection: the targets
// served for the entries written, and the pasteboard types read from another owner's TARGETS
// reply. Pure; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talkweft::platform::linuxdesktop {

inline constexpr std::string_view PASSWORD_MANAGER_HINT = "x-kde-passwordManagerHint";

using ClipboardEntries = std::vector<std::pair<std::string, std::string>>;  // (type or target, bytes)

// Targets about the selection rather than its data (TARGETS, TIMESTAMP, MULTIPLE, ..., the
// password-manager hint).
bool isMetaTarget(std::string_view name);

// The targets served for the pasteboard entries written, in order, each name once (the first entry
// of a name wins): plain text as UTF8_STRING, the plain-text type and text/plain, and as STRING and
// TEXT when it is ASCII; the transient and auto-generated markers as the password-manager hint
// "secret"; every other type under its own name.
ClipboardEntries calcServedTargets(const ClipboardEntries& entries);

// The items of a TARGETS reply (32-bit atoms in host order); a partial last item is dropped.
std::vector<std::uint32_t> parseTargetsReply(std::string_view bytes);

// The pasteboard types another owner offers, from the names of its targets in order, each once:
// meta targets and unnamed atoms left out, UTF8_STRING read as the plain-text type, and the other
// text aliases left out when UTF8_STRING is offered (they are served again from it).
std::vector<std::string> calcOfferedTypes(const std::vector<std::string>& targetNames);

}  // namespace talkweft::platform::linuxdesktop
