// The texts that make a headless coding agent behave as a text-field assistant: the system prompt
// with its additions, the result schema, and the user message built from an AgentRequest (the
// instruction, where the user is, the field text with caret/selection markers clipped around the
// caret, and the recent history). Everything here is pure and thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TalkweftCore/Agent.hpp"
#include "TalkweftCore/Context.hpp"
#include "TalkweftCore/HistoryEntry.hpp"

namespace talkweft {

// The JSON schema of an AgentResult (one line, 373 bytes).
extern const std::string_view RESULT_SCHEMA;
// The base system prompt, always sent (1928 bytes).
extern const std::string_view SYSTEM_PROMPT;
// Added when connected services are switched on (336 bytes).
extern const std::string_view CONNECTORS_PROMPT;
// Added when connectors are on and may make changes (460 bytes).
extern const std::string_view WRITES_PROMPT;

// Markers put into the field text (U+27E6 / U+27E7 brackets).
inline constexpr std::string_view CARET = "\u27E6CARET\u27E7";
inline constexpr std::string_view SEL_START = "\u27E6SEL\u27E7";
inline constexpr std::string_view SEL_END = "\u27E6/SEL\u27E7";
// Most characters of marked field text put into the user message.
inline constexpr std::int64_t MAX_FIELD_CHARS = 40000;

// SYSTEM_PROMPT, then CONNECTORS_PROMPT when `connectors`, then (only then) WRITES_PROMPT when
// `writes`, then the standing-instructions heading and the trimmed `standing` when something is
// left after trimming; joined with single line feeds.
std::string buildSystemPrompt(bool connectors, bool writes, std::string_view standing);

// The user message: instruction, context lines, field section and history section, joined with
// single line feeds.
std::string buildUserPrompt(const AgentRequest& request);

// The field text with markers between "<<<" and ">>>" lines (clipped to MAX_FIELD_CHARS), or one
// line telling the agent that the text is not readable or that there is no field.
std::vector<std::string> buildFieldSection(const AppContext& ctx);

// One line when no history is kept (no folder) or there are no entries; else a heading and one
// numbered line per entry, in the order given.
std::vector<std::string> buildHistorySection(const std::vector<HistoryEntry>& history,
                                             const std::optional<std::filesystem::path>& dir);

// The field text with CARET at the caret, or SEL_START/SEL_END around the selection; unchanged
// without a selection. `base` is the UTF-16 offset of the text's first unit in the whole field and
// the selection is in whole-field units; offsets are clamped to the text, and an offset inside a
// surrogate pair never splits the character (a caret goes before it, a selection widens to hold it).
std::string calcMarkedText(std::string_view text, std::int64_t base, const std::optional<UTF16Range>& selection);

// The text when it has at most `limit` characters (grapheme clusters); else a window of `limit`
// characters around the first CARET (else the first SEL_START), or the first `limit` characters
// when neither occurs, with "[…truncated]" notes on the clipped sides.
std::string calcClipped(std::string_view text, std::int64_t limit);

// One-line summary of what the entry did ("inserted …", "replaced … with …", "replied …").
std::string calcEntrySummary(const HistoryEntry& entry);

// The text as a JSON string: quotes, reverse solidus and control characters escaped, "/" written
// as "\/", everything else as itself (invalid UTF-8 becomes U+FFFD).
std::string calcQuoted(std::string_view text);

}  // namespace talkweft
