#include "TalkweftCore/Context.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unordered_set>

using namespace talkweft;
using Json = nlohmann::ordered_json;

namespace {

AppContext baseContext() {
    AppContext c;
    c.user = "alice";
    c.appName = "Browser";
    c.bundleID = "org.example.Browser";
    c.pid = 4242;
    c.capturedAt = Date(std::chrono::seconds(1'700'000'000));
    return c;
}

}  // namespace

TEST(Context, SubjectPrefersDocumentThenPageThenTitleThenApp) {
    AppContext c = baseContext();
    c.documentPath = "/home/alice/notes.txt";
    c.url = "https://Example.com/a";
    c.windowTitle = "Notes";
    EXPECT_EQ(calcSubject(c), "file:/home/alice/notes.txt");
    c.documentPath = "";
    EXPECT_EQ(calcSubject(c), "url:example.com/a");
    c.url = "about:blank";  // no host
    EXPECT_EQ(calcSubject(c), "window:Notes");
    c.windowTitle = "";
    EXPECT_EQ(calcSubject(c), "app:org.example.Browser");
    c.bundleID = "";
    EXPECT_EQ(calcSubject(c), "app:");

    const ContextKey key = calcContextKey(c);
    EXPECT_EQ(key.user, "alice");
    EXPECT_EQ(key.subject, "app:");
}

TEST(Context, NormalizedURL) {
    struct Case { const char* url; std::optional<std::string> want; };
    const Case cases[] = {
        {"https://EXAMPLE.Com/#/inbox/Thread?x=1", "example.com/#/inbox/Thread"},
        {"http://user:pw@example.com:8080/Path/To?q=1", "example.com/Path/To"},
        {"https://example.com", "example.com/"},
        {"https://example.com/a#?b", "example.com/a#b"},
        {"https://example.com/a#?", "example.com/a"},
        {"https://example.com/a#", "example.com/a"},
        {"https://example.com/caf%C3%A9%20bar#sec%20one", "example.com/caf\xC3\xA9 bar#sec one"},
        {"https://example.com/%FF", "example.com/%FF"},  // not UTF-8 once decoded: left encoded
        {"https://[::1]:3000/x", "[::1]/x"},
        {"https://B%C3%9CCHER.de/X", "b\xC3\xBC" "cher.de/X"},  // host decoded, then lower-cased
        {"mailto:someone@example.com", std::nullopt},
        {"file:/tmp/x", std::nullopt},
        {"example.com/path", std::nullopt},  // no scheme, no authority: a path
        {"https://exa mple.com/", std::nullopt},
        {"https://example.com/a b", std::nullopt},
        {"https://example.com/%zz", std::nullopt},
        {"https://example.com:80x/", std::nullopt},
        {"https://example.com/#a#b", std::nullopt},
        {"1http://example.com/", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(calcNormalizedURL(c.url), c.want) << c.url;
}

TEST(Context, StripFragment) {
    EXPECT_EQ(calcStripFragment("/path?q=1"), "/path");
    EXPECT_EQ(calcStripFragment("?x"), "x");
    EXPECT_EQ(calcStripFragment("?"), "");
    EXPECT_EQ(calcStripFragment(""), "");
    EXPECT_EQ(calcStripFragment("a?b?c"), "a");
}

TEST(Context, SlugBase) {
    struct Case { std::string text; std::string want; };
    const std::vector<Case> cases = {
        {"file:/Users/a/R\xC3\xA9sum\xC3\xA9 - Final.docx", "file-users-a-r-sum-final-docx"},
        {"window:\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "window"},
        {"e\xCC\x81t\xC3\xA9", "e-t"},     // a combining mark is a separator too
        {"---", ""},
        {"\xFF" "ab\xFF", "ab"},            // bad bytes are separators
        {std::string(60, 'x') + "-" + std::string(47, 'Y'), "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"},  // cut lands on "-"
    };
    for (const Case& c : cases) EXPECT_EQ(calcSlugBase(c.text), c.want) << c.text;

    const std::string longText = "file:" + std::string(195, 'a');
    EXPECT_EQ(calcSlugBase(longText), std::string(48, 'a'));
}

TEST(Context, SlugAndRelativePath) {
    const ContextKey file{"alice", "org.example.Editor", "file:/home/alice/Notes.txt"};
    // The hash digits are the first ten of the SHA-256 of the subject's bytes.
    EXPECT_EQ(ContextKey({"a", "b", "abc"}).slug(), "abc-ba7816bf8f");
    EXPECT_EQ(ContextKey({"a", "b", ""}).slug(), "untitled-e3b0c44298");
    EXPECT_EQ(ContextKey({"a", "b", "\xE2\x9C\x93"}).slug().substr(0, 9), "untitled-");

    const std::string slug = file.slug();
    EXPECT_EQ(slug.substr(0, slug.size() - 10), "file-home-alice-notes-txt-");
    EXPECT_EQ(file.relativePath(), "alice/org.example.Editor/" + slug);

    const ContextKey web{"Alice Smith", "org.example.Browser", "url:example.com/"};
    EXPECT_EQ(web.relativePath(), "alice-smith/org.example.Browser/" + web.slug());

    // Subjects differing only in case share the base, not the hash.
    const ContextKey upper{"a", "b", "window:Inbox"};
    const ContextKey lower{"a", "b", "window:inbox"};
    EXPECT_EQ(upper.slug().substr(0, 13), lower.slug().substr(0, 13));
    EXPECT_NE(upper.slug(), lower.slug());

    const ContextKey longKey{"a", "b", "window:" + std::string(193, 'q')};
    EXPECT_LE(longKey.slug().size(), 59u);
}

// However odd the user name or app id, the context folder stays strictly inside the history root,
// three components deep, and different ids get different folders.
TEST(Context, RelativePathNeverLeavesTheRoot) {
    const std::filesystem::path root = "/data/history";
    const std::vector<ContextKey> keys = {
        {"", "org.example.App", "app:x"},
        {"\xC3\xA9\xC3\xA9", "org.example.App", "app:x"},
        {"bob", "..", "app:x"},
        {"bob", ".", "app:x"},
        {"bob", "", "app:x"},
        {"bob", "../../etc", "app:x"},
        {"bob", "/etc/passwd", "app:x"},
        {"bob", "a/../..", "app:x"},
        {"bob", std::string("a\0b", 3), "app:x"},
        {"bob", "%2E%2E", "app:x"},
        {"bob", "a%2Fb", "app:x"},
        {"bob", "a/b", "app:x"},
    };
    std::unordered_set<std::string> seen;
    for (const ContextKey& k : keys) {
        const std::string rel = k.relativePath();
        const std::filesystem::path rp(rel);
        EXPECT_FALSE(rp.is_absolute()) << rel;
        int parts = 0;
        for (const auto& part : rp) {
            ++parts;
            EXPECT_NE(part, "..") << rel;
            EXPECT_NE(part, ".") << rel;
            EXPECT_FALSE(part.empty()) << rel;
        }
        EXPECT_EQ(parts, 3) << rel;
        EXPECT_EQ(rel.find('\0'), std::string::npos);
        const auto full = (root / rp).lexically_normal();
        EXPECT_EQ(full.parent_path().parent_path().parent_path(), root) << rel;
        seen.insert(rel);
    }
    EXPECT_EQ(seen.size(), keys.size() - 1);  // the two users without ASCII share "_unknown"; ids never collide
    EXPECT_EQ(ContextKey({"", "x", "app:x"}).relativePath().substr(0, 9), "_unknown/");
    EXPECT_EQ(ContextKey({"bob", "a/b", "s"}).relativePath().substr(0, 10), "bob/a%2Fb/");
}

TEST(Context, KeyEqualityAndHashUseCanonicalEquivalence) {
    const ContextKey composed{"alice", "app", "window:Caf\xC3\xA9"};
    const ContextKey decomposed{"alice", "app", "window:Cafe\xCC\x81"};
    EXPECT_EQ(composed, decomposed);
    EXPECT_EQ(std::hash<ContextKey>{}(composed), std::hash<ContextKey>{}(decomposed));
    EXPECT_NE(composed, (ContextKey{"alice", "app", "window:cafe"}));
    std::unordered_set<ContextKey> set{composed, decomposed};
    EXPECT_EQ(set.size(), 1u);

    AppContext a = baseContext(), b = baseContext();
    a.windowTitle = "Caf\xC3\xA9";
    b.windowTitle = "Cafe\xCC\x81";
    EXPECT_EQ(a, b);
    b.windowTitle = std::nullopt;
    EXPECT_FALSE(a == b);
}

TEST(Context, JSONForms) {
    AppContext c = baseContext();
    // No readable field: no "fieldText", but the base and the flag are always there.
    Json j = c.toJSON();
    EXPECT_FALSE(j.contains("fieldText"));
    EXPECT_EQ(j["fieldTextBase"], 0);
    EXPECT_EQ(j["fieldTextIsFull"], false);
    EXPECT_DOUBLE_EQ(j["capturedAt"].get<double>(), 1'700'000'000.0 - 978'307'200.0);
    EXPECT_EQ(AppContext::fromJSON(j), c);
    EXPECT_FALSE(c.hasField());
    Json wholeFloat = j;
    wholeFloat["pid"] = 4242.0;  // a number with an integral value is an integer
    EXPECT_EQ(AppContext::fromJSON(wholeFloat).pid, 4242);

    c.windowTitle = "T";
    c.documentPath = "/d";
    c.url = "https://e.com";
    c.role = "AXTextArea";
    c.fieldText = "";
    c.fieldTextBase = 7;
    c.fieldTextIsFull = true;
    c.selection = UTF16Range{3, 2};
    c.selectedText = "ab";
    c.screenshotPath = "/tmp/s.png";
    EXPECT_TRUE(c.hasField());
    j = c.toJSON(DateCoding::iso8601);
    std::vector<std::string> keys;
    for (const auto& [k, v] : j.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"user", "appName", "bundleID", "pid", "windowTitle", "documentPath",
                                              "url", "role", "fieldText", "fieldTextBase", "fieldTextIsFull",
                                              "selection", "selectedText", "screenshotPath", "capturedAt"}));
    EXPECT_EQ(j["selection"].dump(), R"({"location":3,"length":2})");
    EXPECT_EQ(j["capturedAt"], "2023-11-14T22:13:20Z");
    EXPECT_EQ(AppContext::fromJSON(j, DateCoding::iso8601), c);

    // Nulls read as absent.
    j["url"] = nullptr;
    j["selection"] = nullptr;
    const AppContext back = AppContext::fromJSON(j, DateCoding::iso8601);
    EXPECT_FALSE(back.url);
    EXPECT_FALSE(back.selection);

    const ContextKey key{"u", "b", "s"};
    EXPECT_EQ(key.toJSON().dump(), R"({"user":"u","bundleID":"b","subject":"s"})");
    EXPECT_EQ(ContextKey::fromJSON(key.toJSON()), key);
}

TEST(Context, JSONDecodingRejectsBadShapes) {
    const Json good = baseContext().toJSON();
    const std::vector<std::pair<std::string, Json>> breaks = {
        {"user", nullptr},           {"bundleID", 3},          {"pid", 1.5},
        {"pid", 3'000'000'000LL},    {"fieldTextBase", "0"},   {"fieldTextIsFull", 1},
        {"windowTitle", 5},          {"selection", {{"location", 1}}},
        {"selection", "1,2"},        {"capturedAt", "yesterday"},  {"capturedAt", 1e300},
    };
    for (const auto& [key, value] : breaks) {
        Json j = good;
        j[key] = value;
        EXPECT_THROW(AppContext::fromJSON(j), DecodingError) << key;
    }
    Json missing = good;
    missing.erase("capturedAt");
    EXPECT_THROW(AppContext::fromJSON(missing), DecodingError);
    EXPECT_THROW(AppContext::fromJSON(Json::array()), DecodingError);
    EXPECT_THROW(UTF16Range::fromJSON(Json{{"location", 1}}), DecodingError);
    EXPECT_THROW(ContextKey::fromJSON(Json{{"user", "u"}, {"bundleID", "b"}}), DecodingError);
    EXPECT_THROW(AppContext::fromJSON(good, DateCoding::iso8601), DecodingError);  // a number, not a date string
}
