// Writing into the focused field of another app: typing a text at the caret, and applying an
// agent's find/replace edit by selecting the found text through accessibility and pasting over it.
#pragma once

#include <string>

#include "Platform/Accessibility.hpp"
#include "TalkweftCore/AgentResult.hpp"

namespace talkweft {

class TextWriter {
public:
    virtual ~TextWriter() = default;

    // Types `text` at the caret of the focused field. True when the keystroke was made (whether the
    // target took the text is not known). Main thread; returns after the paste has settled.
    virtual bool paste(const std::string& text) = 0;

    // Applies one edit to `element`: true when the edit's `find` was selected, verified and pasted
    // over, then waits (at most 15 polls of 0.03 s) for the field to show the change. A change not
    // seen by then is logged ("replace: field did not change") but still returns true: the paste
    // may land later in a slow app. False (nothing pasted) when the field cannot be read, `find` is
    // not in it, the selection cannot be set or does not hold `find`, or the paste keystroke could
    // not be made; each writes one "replace: " log line, except an unreadable field. Apply a list
    // of edits one after the other. Main thread.
    virtual bool replace(const TextEdit& edit, const platform::AXElementRef& element) = 0;
};

// The writer that goes through the pasteboard (Clipboard::paste).
class PasteWriter : public TextWriter {
public:
    bool paste(const std::string& text) override;
    bool replace(const TextEdit& edit, const platform::AXElementRef& element) override;

    // Polls the element's text every 0.03 s (at most 15 times) until it differs from `before`;
    // true when a change was seen, false when the text stayed or could no longer be read.
    static bool waitForChange(const platform::AXElementRef& element, const std::string& before);

    // No-break spaces -> blanks, then "\r\n" -> "\n", then lone "\r" -> "\n".
    static std::string normalizeForCompare(std::string_view text);
};

}  // namespace talkweft
