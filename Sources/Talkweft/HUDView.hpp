// The panel's content for each HUD state, and the rendering of reply text (inline Markdown).
// Pure functions of their arguments; thread-safe.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "Platform/Panel.hpp"
#include "Talkweft/HUDState.hpp"

namespace talkweft {

// Width of the reply and error text view, in points.
inline constexpr double REPLY_WIDTH = 468;

// Longest text parsed as Markdown, in bytes: the search for closing markers is quadratic in the
// worst case, so longer replies are shown as plain text instead of stalling the main thread.
inline constexpr std::size_t MAX_MARKDOWN_BYTES = 32 * 1024;

// Parses inline Markdown (emphasis, strong, code spans, links, backslash escapes; line breaks kept)
// into styled runs; markers nested more than 32 deep stay literal. Absent when `text` is not valid
// UTF-8 or is longer than MAX_MARKDOWN_BYTES.
std::optional<std::vector<platform::TextRun>> parseInlineMarkdown(std::string_view text);

// The runs to show for a reply or error: the parsed Markdown, or the plain text as one run when it
// does not parse.
std::vector<platform::TextRun> calcReplyText(std::string_view text);

// The height `runs` need at `width`: the laid-out height rounded up, plus 4 (the view's insets)
// plus 2.
double calcTextHeight(platform::Panel& panel, const std::vector<platform::TextRun>& runs, double width);

// The tallest a reply or error text view gets: 60 % of the main screen's visible height, at least
// 160; 480 without a main screen.
double calcReplyLimit(platform::Panel& panel);

// What the panel shows for `state` at time `now` (the thinking counter counts from state.start).
platform::PanelContent calcPanelContent(const HUDState& state, platform::TimePoint now, platform::Panel& panel);

}  // namespace talkweft
