// Accessibility: elements of other apps' user interfaces, their attributes and parameterized
// attributes, settable checks and writes. Names follow the accessibility vocabulary the
// application uses ("AXValue", "AXSelectedTextRange", ...); a backend maps them to its own.
//
// Reads never throw: an error, a missing value and an element that has gone away are all "no
// value". All calls are made on the main thread and block until the target app answers (or the
// backend's timeout passes).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Platform/Geometry.hpp"

namespace talkweft::platform {

// Attribute names.
inline constexpr std::string_view AX_FOCUSED_UI_ELEMENT = "AXFocusedUIElement";
inline constexpr std::string_view AX_FOCUSED_WINDOW = "AXFocusedWindow";
inline constexpr std::string_view AX_MANUAL_ACCESSIBILITY = "AXManualAccessibility";
inline constexpr std::string_view AX_ROLE = "AXRole";
inline constexpr std::string_view AX_SUBROLE = "AXSubrole";
inline constexpr std::string_view AX_PARENT = "AXParent";
inline constexpr std::string_view AX_TITLE = "AXTitle";
inline constexpr std::string_view AX_VALUE = "AXValue";
inline constexpr std::string_view AX_SELECTED_TEXT = "AXSelectedText";
inline constexpr std::string_view AX_SELECTED_TEXT_RANGE = "AXSelectedTextRange";
inline constexpr std::string_view AX_URL = "AXURL";
inline constexpr std::string_view AX_DOCUMENT = "AXDocument";
inline constexpr std::string_view AX_NUMBER_OF_CHARACTERS = "AXNumberOfCharacters";
inline constexpr std::string_view AX_VISIBLE_CHARACTER_RANGE = "AXVisibleCharacterRange";
inline constexpr std::string_view AX_POSITION = "AXPosition";
inline constexpr std::string_view AX_SIZE = "AXSize";
inline constexpr std::string_view AX_FOCUSED = "AXFocused";
// Parameterized attribute names (parameter: an AXRange).
inline constexpr std::string_view AX_STRING_FOR_RANGE = "AXStringForRange";
inline constexpr std::string_view AX_BOUNDS_FOR_RANGE = "AXBoundsForRange";
// Role values.
inline constexpr std::string_view AX_ROLE_SECURE_TEXT_FIELD = "AXSecureTextField";
inline constexpr std::string_view AX_ROLE_WEB_AREA = "AXWebArea";
inline constexpr std::string_view AX_ROLE_WINDOW = "AXWindow";
inline constexpr std::string_view AX_ROLE_TEXT_FIELD = "AXTextField";
inline constexpr std::string_view AX_ROLE_TEXT_AREA = "AXTextArea";
inline constexpr std::string_view AX_ROLE_APPLICATION = "AXApplication";

// A character range in UTF-16 code units (the "character range" value kind).
struct AXRange {
    std::int64_t location = 0;
    std::int64_t length = 0;
    bool operator==(const AXRange&) const = default;
};

// Text with formatting; only its characters are used.
struct AXAttributedString {
    std::string text;
    bool operator==(const AXAttributedString&) const = default;
};

// A URL value, as its absolute string (for example "file:///home/a/x.txt" or "https://a.b/").
struct AXURL {
    std::string absolute;
    bool operator==(const AXURL&) const = default;
};

class AXElement;
using AXElementRef = std::shared_ptr<AXElement>;

// Every kind of value an attribute can hold. Point, Size, Rect and AXRange are the four packed
// geometry kinds; a Rect may be Rect::null().
using AXValue = std::variant<AXElementRef, std::string, AXAttributedString, std::int64_t, double, bool, AXURL,
                             Point, Size, Rect, AXRange>;

// One element of another app's interface (an app, window, text field, web page ...). Shared
// ownership: an element stays a valid handle after its UI goes away; its reads then give nothing.
// Main thread only.
class AXElement {
public:
    virtual ~AXElement() = default;

    // The attribute's value; absent on any error, when the attribute is missing or has no value.
    virtual std::optional<AXValue> attribute(std::string_view name) const = 0;

    // A parameterized attribute's value for `parameter`; absent on any error.
    virtual std::optional<AXValue> parameterizedAttribute(std::string_view name, const AXValue& parameter) const = 0;

    // True when the attribute can be set; false on any error.
    virtual bool isSettable(std::string_view name) const = 0;

    // Sets the attribute; true on success, false on any error (not settable, wrong kind, gone).
    virtual bool setAttribute(std::string_view name, const AXValue& value) = 0;

    // True when both handles name the same element of the same app.
    virtual bool isSameElement(const AXElement& other) const = 0;
};

class Accessibility {
public:
    virtual ~Accessibility() = default;

    // True when this process may read and control other apps' interfaces. With `prompt` the
    // desktop may ask the user to grant it (the answer is not awaited). Main thread.
    virtual bool isProcessTrusted(bool prompt) = 0;

    // The system-wide element (answers "AXFocusedUIElement" for whatever app has focus). Never null.
    virtual AXElementRef systemWide() = 0;

    // The application element of process `pid` ("AXFocusedUIElement", "AXFocusedWindow",
    // "AXManualAccessibility"). Never null; an unknown pid gives an element whose reads fail.
    virtual AXElementRef application(std::int32_t pid) = 0;
};

}  // namespace talkweft::platform
