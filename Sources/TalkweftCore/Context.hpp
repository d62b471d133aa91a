// The captured context of the focused field (AppContext) and the history identity derived from it
// (ContextKey): subject, normalised web address, folder slug and the folder path below the history
// root. Everything here is a pure value or function and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "TalkweftCore/JSONCoding.hpp"

namespace talkweft {

// A range of a text counted in UTF-16 code units.
struct UTF16Range {
    std::int64_t location = 0;
    std::int64_t length = 0;

    bool operator==(const UTF16Range&) const = default;

    // {"location", "length"}, both always written.
    nlohmann::ordered_json toJSON() const;
    // Both keys required as integers; throws DecodingError otherwise.
    static UTF16Range fromJSON(const nlohmann::ordered_json& j);
};

// How a record writes and reads its dates in JSON.
enum class DateCoding {
    referenceSeconds,  // a number: seconds since 2001-01-01T00:00:00Z (fractions kept)
    iso8601,           // "YYYY-MM-DDTHH:MM:SSZ" in whole seconds
};

// A snapshot of where the user works: the frontmost app, its window, document or page, and the
// focused text field. Fields in encoding order (memberwise: aggregate initialisation). Values are
// stored as given, never validated.
struct AppContext {
    std::string user;                          // login name of the user the program runs for
    std::string appName;                       // display name of the frontmost app
    std::string bundleID;                      // app id of the frontmost app
    std::int32_t pid = 0;                      // process id of the frontmost app
    std::optional<std::string> windowTitle;    // focused window's title
    std::optional<std::string> documentPath;   // document the focused window shows
    std::optional<std::string> url;            // address of the page holding the focused element
    std::optional<std::string> role;           // accessibility role[/subrole] of the focused element
    std::optional<std::string> fieldText;      // the field's text, or the part of it that was read
    std::int64_t fieldTextBase = 0;            // UTF-16 offset in the whole text where fieldText starts
    bool fieldTextIsFull = false;              // fieldText is the whole text
    std::optional<UTF16Range> selection;       // selection or caret, in UTF-16 units of the whole text
    std::optional<std::string> selectedText;   // the selected text
    std::optional<std::string> screenshotPath; // screenshot of the focused window, when taken
    Date capturedAt{};                         // when the snapshot was taken

    // True exactly when fieldText is present (an empty text counts).
    bool hasField() const { return fieldText.has_value(); }

    // All fifteen fields; dates compare to the tick, strings by canonical equivalence.
    bool operator==(const AppContext& other) const;

    // Every key in field order, absent optionals left out, capturedAt written as `dates` says.
    nlohmann::ordered_json toJSON(DateCoding dates = DateCoding::referenceSeconds) const;
    // user, appName, bundleID, pid (32-bit), fieldTextBase, fieldTextIsFull and capturedAt required;
    // optionals absent when missing or null. Any wrong type or a missing required key throws
    // DecodingError.
    static AppContext fromJSON(const nlohmann::ordered_json& j, DateCoding dates = DateCoding::referenceSeconds);
};

// The identity of one history context: who, in which app, editing what.
struct ContextKey {
    std::string user;
    std::string bundleID;
    std::string subject;  // from calcSubject

    // Strings compare by canonical equivalence (a composed and a decomposed "é" are equal).
    bool operator==(const ContextKey& other) const;

    // The folder name of the context: calcSlugBase(subject) ("untitled" when empty), "-", and the
    // first 10 hex digits of the SHA-256 of the subject's UTF-8 bytes. At most 59 characters.
    std::string slug() const;
    // The context folder below the history root: "<user slug>/<bundleID>/<slug>". Always three
    // plain components, never absolute and never climbing out: an empty user slug becomes
    // "_unknown", and a bundleID that is empty, "." or "..", or holds "/", "%" or NUL is
    // percent-escaped ("/" -> "%2F", "%" -> "%25", NUL -> "%00", "." -> "%2E", ".." -> "%2E%2E",
    // empty -> "%"). Ordinary ids stay unchanged.
    std::string relativePath() const;

    // {"user", "bundleID", "subject"}, all always written.
    nlohmann::ordered_json toJSON() const;
    // All three keys required as strings; throws DecodingError otherwise.
    static ContextKey fromJSON(const nlohmann::ordered_json& j);
};

// What in the app is being edited: "file:" + documentPath when present and not empty; else
// "url:" + calcNormalizedURL(url) when that gives a value; else "window:" + windowTitle when
// present and not empty; else "app:" + bundleID. Never empty.
std::string calcSubject(const AppContext& ctx);

// The ContextKey of ctx's user, bundleID and calcSubject(ctx).
ContextKey calcContextKey(const AppContext& ctx);

// Lower-cased host + decoded path ("/" when empty) [+ "#" + calcStripFragment(decoded fragment)
// when that is not empty]. Scheme, port, user, password and query are dropped. Absent when the
// string is not a valid URL or has no host.
std::optional<std::string> calcNormalizedURL(std::string_view url);

// The part of a fragment before its first "?" (or after it, when the fragment starts with "?");
// empty when nothing remains.
std::string calcStripFragment(std::string_view fragment);

// A readable folder name: ASCII letters and digits kept, every other scalar a "-", runs of "-"
// collapsed, the last 48 characters kept, "-" trimmed from both ends, lower-cased. May be empty.
std::string calcSlugBase(std::string_view text);

}  // namespace talkweft

template <>
struct std::hash<talkweft::ContextKey> {
    // Consistent with ==: hashes the canonical decompositions of the three fields.
    std::size_t operator()(const talkweft::ContextKey& key) const;
};
