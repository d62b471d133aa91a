// Small readers over the platform's accessibility elements: typed attribute values, the focused
// element of an app, password-field detection, the editable field and web page around the focus,
// the text of a field (whole or only its visible part) and the caret's place on screen.
//
// Every function gives "nothing" (nullptr, an empty optional or false) on any accessibility error,
// a missing value or a value of another kind; none throws, logs or retries, and a null element
// gives nothing. Main thread; each call blocks while the target app answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Accessibility.hpp"
#include "TalkweftCore/Context.hpp"

namespace talkweft {

// Text read from a field.
struct FieldText {
    std::string text;        // the characters read
    std::int64_t base = 0;   // UTF-16 offset of text's first unit in the whole field text
    bool isFull = false;     // text is the whole field text (not just its visible part)

    bool operator==(const FieldText&) const = default;
};

namespace AX {

using Element = platform::AXElementRef;

// Set to true on an application element, asks an app that builds its accessibility tree only on
// demand to build it.
inline constexpr std::string_view MANUAL = platform::AX_MANUAL_ACCESSIBILITY;

// The attribute's value when it is an element.
Element element(const Element& el, std::string_view attribute);
// A string value, or an attributed string's characters; an empty string is a value. Text that is
// not valid UTF-8 is repaired (bad bytes read as U+FFFD).
std::optional<std::string> string(const Element& el, std::string_view attribute);
// The integer value of a number value (a fractional number is truncated toward zero).
std::optional<std::int64_t> number(const Element& el, std::string_view attribute);
// A character-range value.
std::optional<UTF16Range> range(const Element& el, std::string_view attribute);
// A URL value as its absolute string, else a string value as it is.
std::optional<std::string> url(const Element& el, std::string_view attribute);
// "AXDocument" as a file-system path: a URL value, or a string value (one starting with "/" is a
// path, any other a URL text); only file URLs give a path (percent-decoded).
std::optional<std::string> document(const Element& el);
// "AXStringForRange" over `range`.
std::optional<std::string> stringForRange(const Element& el, UTF16Range range);

// The focused element: the system-wide element's "AXFocusedUIElement", else the application
// element's, else once more after setting "AXManualAccessibility" on the application element.
// Uses platform::current().
Element calcFocusedElement(std::int32_t pid);
// True when the element, its parent or its grandparent has the role or subrole "AXSecureTextField".
bool isSecure(const Element& el);
// The nearest element (the given one first, at most 8) whose "AXValue", "AXSelectedText" or
// "AXSelectedTextRange" is settable and which is not a secure text field; never climbs out of an
// "AXWebArea".
Element calcEditable(const Element& from);
// The "AXURL" of the nearest "AXWebArea" above (or at) the element, at most 40 elements up.
std::optional<std::string> calcWebURL(const Element& from);
// The field's text: "AXValue"; else "AXNumberOfCharacters" > 0 and "AXStringForRange" over all of
// it; else the "AXVisibleCharacterRange" (length > 0) read with "AXStringForRange" (isFull false,
// base its location).
std::optional<FieldText> calcFieldText(const Element& el);
// "AXBoundsForRange" of the "AXSelectedTextRange": a rectangle that is not null and narrower than
// 5000 points (wider answers are whole-document bounds).
std::optional<platform::Rect> calcCaretRect(const Element& el);
// "AXPosition" and "AXSize" as one rectangle.
std::optional<platform::Rect> calcFrame(const Element& el);

}  // namespace AX
}  // namespace talkweft
