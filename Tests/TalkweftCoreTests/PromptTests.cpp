#include "TalkweftCore/Prompt.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>

#include "Unicode/Unicode.hpp"

using namespace talkweft;
using namespace std::chrono;

namespace {

const std::string FACE = "\xF0\x9F\x98\x80";                         // U+1F600: 2 UTF-16 units
const std::string FLAG = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";         // one character, 4 units
const std::string E_NFD = "e\xCC\x81";                               // one character, 2 units
const std::string TRUNC = "[\xE2\x80\xA6truncated]";

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

AppContext promptContext() {
    AppContext c;
    c.user = "ada";
    c.appName = "Notes";
    c.bundleID = "org.example.notes";
    c.pid = 42;
    c.capturedAt = sys_days{year{2026} / 1 / 2};
    return c;
}

HistoryEntry entry(AgentAction action) {
    return {sys_days{year{2026} / 1 / 2} + hours{3} + minutes{4} + seconds{5}, Mode::agent, "say \"hi\"", action,
            std::nullopt, std::nullopt, {}, std::nullopt, {}, true};
}

}  // namespace

// The texts handed to the agent, byte for byte: each is compared whole with a copy kept in the
// fixtures (one line feed between lines, none at the end, ASCII only).
TEST(PromptTexts, ByteForByte) {
    const struct {
        const char* file;
        std::string_view text;
    } texts[] = {{"result-schema.json", RESULT_SCHEMA},
                 {"system-prompt.txt", SYSTEM_PROMPT},
                 {"connectors-prompt.txt", CONNECTORS_PROMPT},
                 {"writes-prompt.txt", WRITES_PROMPT}};
    for (const auto& t : texts) {
        SCOPED_TRACE(t.file);
        std::ifstream in(std::string(TALKWEFT_TEST_DATA) + "/fixtures/prompts/" + t.file, std::ios::binary);
        ASSERT_TRUE(in);
        const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(t.text, expected);
    }
    const auto schema = nlohmann::ordered_json::parse(RESULT_SCHEMA);
    EXPECT_EQ(schema.dump(), RESULT_SCHEMA);  // compact, one line: the tool gets it as one argument
    // The markers' brackets are U+27E6 and U+27E7.
    EXPECT_EQ(CARET, "\xE2\x9F\xA6" "CARET" "\xE2\x9F\xA7");
    EXPECT_EQ(SEL_START, "\xE2\x9F\xA6" "SEL" "\xE2\x9F\xA7");
    EXPECT_EQ(SEL_END, "\xE2\x9F\xA6" "/SEL" "\xE2\x9F\xA7");
}

TEST(Prompt, SystemPrompt) {
    const std::string heading =
        "The user's standing instructions (follow them unless the spoken instruction says otherwise):\n";
    const std::string base(SYSTEM_PROMPT), conn(CONNECTORS_PROMPT), writes(WRITES_PROMPT);
    EXPECT_EQ(buildSystemPrompt(false, true, ""), base);
    EXPECT_EQ(buildSystemPrompt(true, false, ""), base + "\n" + conn);
    EXPECT_EQ(buildSystemPrompt(true, true, " \n\t\n "), base + "\n" + conn + "\n" + writes);
    EXPECT_EQ(buildSystemPrompt(false, false, "\n\nWrite in British English.\n "),
              base + "\n" + heading + "Write in British English.");
    EXPECT_EQ(buildSystemPrompt(true, true, "Be terse.\nNo emoji."),
              base + "\n" + conn + "\n" + writes + "\n" + heading + "Be terse.\nNo emoji.");
}

TEST(Prompt, MarkedText) {
    struct Case {
        const char* name;
        std::string text;
        std::int64_t base;
        std::optional<UTF16Range> sel;
        std::string expected;
    };
    const std::string C(CARET), S(SEL_START), E(SEL_END);
    const std::int64_t MAX = std::numeric_limits<std::int64_t>::max(), MIN = std::numeric_limits<std::int64_t>::min();
    const std::vector<Case> table = {
        {"no selection", "hello", 0, std::nullopt, "hello"},
        {"caret at the end", "hello", 0, UTF16Range{5, 0}, "hello" + C},
        {"selection inside", "hello", 0, UTF16Range{1, 3}, "h" + S + "ell" + E + "o"},
        {"base shifts the selection", "hello", 100, UTF16Range{101, 3}, "h" + S + "ell" + E + "o"},
        {"before the captured part", "hello", 100, UTF16Range{20, 0}, C + "hello"},
        {"beyond the captured part", "hello", 0, UTF16Range{90, 4}, "hello" + C},
        {"selection running past the end", "hello", 0, UTF16Range{3, 50}, "hel" + S + "lo" + E},
        {"negative length is a caret", "hello", 0, UTF16Range{2, -3}, "he" + C + "llo"},
        {"empty text", "", 0, UTF16Range{0, 0}, C},
        {"extreme values do not overflow", "hello", MIN, UTF16Range{MAX, MAX}, "hello" + C},
        {"extreme negative", "hello", MAX, UTF16Range{MIN, 0}, C + "hello"},
        // Offsets in UTF-16 units: the face is two units, the decomposed e two.
        {"caret after an emoji", "a" + FACE + "b", 0, UTF16Range{3, 0}, "a" + FACE + C + "b"},
        {"caret inside a surrogate pair", "a" + FACE + "b", 0, UTF16Range{2, 0}, "a" + C + FACE + "b"},
        {"selection starting inside a pair", "a" + FACE + "b", 0, UTF16Range{2, 2}, "a" + S + FACE + "b" + E},
        {"selection ending inside a pair", "a" + FACE + "b", 0, UTF16Range{0, 2}, S + "a" + FACE + E + "b"},
        {"selection of half a pair", FACE, 0, UTF16Range{1, 0}, C + FACE},
        {"combining sequence counts two units", E_NFD + "x", 0, UTF16Range{2, 1}, E_NFD + S + "x" + E},
    };
    for (const Case& c : table) {
        EXPECT_EQ(calcMarkedText(c.text, c.base, c.sel), c.expected) << c.name;
        EXPECT_EQ(unicode::repairUTF8(calcMarkedText(c.text, c.base, c.sel)), c.expected) << c.name << ": valid UTF-8";
    }
}

TEST(Prompt, ClippingAroundTheCaret) {
    const std::string C(CARET);
    // 100000 characters in all, the caret's first character at index 50000.
    const std::string body = std::string(50000, 'a') + C + std::string(50000 - 7, 'b');
    EXPECT_EQ(calcClipped(body, MAX_FIELD_CHARS),
              TRUNC + "\n" + std::string(20000, 'a') + C + std::string(20000 - 7, 'b') + "\n" + TRUNC);
    const std::string early = std::string(10, 'a') + C + std::string(100000 - 17, 'b');
    EXPECT_EQ(calcClipped(early, MAX_FIELD_CHARS), std::string(10, 'a') + C + std::string(20000 - 7, 'b') + "\n" + TRUNC);
    const std::string late = std::string(100000 - 100, 'a') + C + std::string(93, 'b');
    EXPECT_EQ(calcClipped(late, MAX_FIELD_CHARS), TRUNC + "\n" + std::string(20000, 'a') + C + std::string(93, 'b'));
    const std::string plain(40001, 'z');
    EXPECT_EQ(calcClipped(plain, MAX_FIELD_CHARS), std::string(40000, 'z') + "\n" + TRUNC);
    EXPECT_EQ(calcClipped(std::string(40000, 'z'), MAX_FIELD_CHARS), std::string(40000, 'z'));
}

TEST(Prompt, ClippingCountsCharacters) {
    const std::string C(CARET), S(SEL_START);
    // Flags, emoji and combining sequences are one character each and are never cut.
    EXPECT_EQ(calcClipped(repeat(FLAG, 12), 12), repeat(FLAG, 12));
    EXPECT_EQ(calcClipped(repeat(FLAG, 13), 12), repeat(FLAG, 12) + "\n" + TRUNC);
    EXPECT_EQ(calcClipped(repeat(E_NFD, 20), 5), repeat(E_NFD, 5) + "\n" + TRUNC);
    const std::string text = repeat(FACE, 30) + C + repeat(E_NFD, 30);
    EXPECT_EQ(calcClipped(text, 20), TRUNC + "\n" + repeat(FACE, 10) + C + repeat(E_NFD, 3) + "\n" + TRUNC);
    // Without a caret the selection start anchors the window.
    const std::string sel = repeat(FLAG, 30) + S + "x" + std::string(SEL_END) + repeat(FLAG, 30);
    EXPECT_EQ(calcClipped(sel, 10), TRUNC + "\n" + repeat(FLAG, 5) + S + "\n" + TRUNC);
    EXPECT_EQ(calcClipped("abc", 0), "\n" + TRUNC);
    EXPECT_EQ(calcClipped("abc", -5), "\n" + TRUNC);
}

TEST(Prompt, FieldSection) {
    AppContext ctx = promptContext();
    EXPECT_EQ(buildFieldSection(ctx), std::vector<std::string>{
                                          "No editable text field was detected. Use \"insert\" to type at the cursor "
                                          "anyway, or \"reply\"."});
    ctx.documentPath = "/home/ada/notes.md";
    EXPECT_EQ(buildFieldSection(ctx),
              std::vector<std::string>{"The editor's text isn't readable, so you can't see the caret. Read "
                                       "/home/ada/notes.md for the content (the saved version). Prefer \"insert\" "
                                       "(typed at the user's cursor); \"replace\" edits can't be applied here."});
    ctx.fieldText = "";
    ctx.fieldTextIsFull = true;
    ctx.selection = UTF16Range{0, 0};
    ctx.selectedText = "";
    const std::string fullHeading =
        "Field full text; \xE2\x9F\xA6" "CARET\xE2\x9F\xA7 marks the caret, \xE2\x9F\xA6SEL\xE2\x9F\xA7\xE2\x80\xA6"
        "\xE2\x9F\xA6/SEL\xE2\x9F\xA7 the selection (markers are not part of the text):";
    EXPECT_EQ(buildFieldSection(ctx), (std::vector<std::string>{fullHeading, "<<<", std::string(CARET), ">>>"}));
    ctx.fieldText = "one\ntwo";
    ctx.fieldTextIsFull = false;
    ctx.fieldTextBase = 10;
    ctx.selection = UTF16Range{14, 3};
    ctx.selectedText = "t\"o";
    const auto lines = buildFieldSection(ctx);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].substr(0, 62), "Field partial text (only part of the field was readable); \xE2\x9F\xA6" "C");
    EXPECT_EQ(lines[2], "one\n" + std::string(SEL_START) + "two" + std::string(SEL_END));
    EXPECT_EQ(lines[4], "Selected text: \"t\"o\"");
}

TEST(Prompt, HistorySectionAndSummaries) {
    EXPECT_EQ(buildHistorySection({}, std::nullopt), std::vector<std::string>{"History: not kept for this context."});
    EXPECT_EQ(buildHistorySection({entry(AgentAction::reply)}, std::nullopt),
              std::vector<std::string>{"History: not kept for this context."});
    EXPECT_EQ(buildHistorySection({}, std::filesystem::path("/h/ctx")),
              std::vector<std::string>{"History: no earlier Talkweft edits in this context. Repo: /h/ctx"});

    HistoryEntry insert = entry(AgentAction::insert);
    insert.mode = Mode::dictate;
    insert.text = "a/b \"q\"\n\\";
    insert.replaced = "old";
    HistoryEntry replace = entry(AgentAction::replace);
    replace.edits = {{"teh", "the"}, {"x\ty", ""}};
    replace.external = {"Sent email to Vorn", "Moved event"};
    HistoryEntry reply = entry(AgentAction::reply);
    HistoryEntry empty = entry(AgentAction::replace);
    empty.applied = false;

    EXPECT_EQ(calcEntrySummary(insert), R"(inserted "a\/b \"q\"\n\\" replacing "old")");
    EXPECT_EQ(calcEntrySummary(replace), R"(replaced "teh" with "the"; replaced "x\ty" with "")");
    EXPECT_EQ(calcEntrySummary(reply), R"(replied "")");
    EXPECT_EQ(calcEntrySummary(empty), "");
    EXPECT_EQ(calcEntrySummary(entry(AgentAction::insert)), R"(inserted "")");

    EXPECT_EQ(buildHistorySection({insert, replace, reply}, std::filesystem::path("/h/ctx")),
              (std::vector<std::string>{
                  "Recent Talkweft edits in this context, oldest first (git repo with full history: /h/ctx):",
                  "1. 2026-01-02T03:04:05Z [dictate] \"say \"hi\"\" \xE2\x86\x92 " + calcEntrySummary(insert),
                  "2. 2026-01-02T03:04:05Z [agent] \"say \"hi\"\" \xE2\x86\x92 " + calcEntrySummary(replace) +
                      " (outside the field: Sent email to Vorn; Moved event)",
                  "3. 2026-01-02T03:04:05Z [agent] \"say \"hi\"\" \xE2\x86\x92 replied \"\""}));
}

TEST(Prompt, Quoting) {
    EXPECT_EQ(calcQuoted(""), "\"\"");
    EXPECT_EQ(calcQuoted("a/b"), "\"a\\/b\"");
    EXPECT_EQ(calcQuoted("tab\tline\ncr\r\x01"), "\"tab\\tline\\ncr\\r\\u0001\"");
    EXPECT_EQ(calcQuoted("caf\xC3\xA9 " + FLAG), "\"caf\xC3\xA9 " + FLAG + "\"");  // not escaped as \u
    EXPECT_EQ(calcQuoted("bad\xFF"), "\"bad\xEF\xBF\xBD\"");
    // Invalid UTF-8 is repaired as everywhere else (one U+FFFD per maximal invalid subpart), so the
    // prompt, the field's text and the history written as JSON show the same text.
    for (const std::string bad : {"a\xE2\x9F", "\xE2\x9F" "b", "\xE0\x80\xAF", "\xF0\x9F\x98" "x\xC0"}) {
        const std::string repaired = unicode::repairUTF8(bad);
        EXPECT_EQ(calcQuoted(bad), "\"" + repaired + "\"") << ::testing::PrintToString(bad);
        EXPECT_EQ(nlohmann::json(bad).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "\"" + repaired + "\"")
            << ::testing::PrintToString(bad);
    }
}

TEST(Prompt, UserMessage) {
    AgentRequest req;
    req.instruction = "make it \"formal\"";
    req.context = promptContext();
    req.context.windowTitle = "Draft";
    req.context.url = "https://example.org/a";
    req.context.documentPath = "/tmp/d.txt";
    req.context.role = "AXTextArea";
    req.context.screenshotPath = "/tmp/shot.png";
    req.context.fieldText = "hi";
    req.context.fieldTextIsFull = true;
    req.context.selection = UTF16Range{2, 0};
    req.historyDir = std::filesystem::path("/h");
    const std::string expected =
        "Instruction: \"make it \"formal\"\"\n"
        "\n"
        "Context:\n"
        "- App: Notes (org.example.notes)\n"
        "- Linux user: ada\n"
        "- Window: Draft\n"
        "- URL: https://example.org/a\n"
        "- Document: /tmp/d.txt (the editor may hold unsaved changes)\n"
        "- Focused element: AXTextArea\n"
        "- Screenshot of the window: /tmp/shot.png (read it if what's on screen matters)\n"
        "\n" +
        buildFieldSection(req.context)[0] + "\n<<<\nhi" + std::string(CARET) + "\n>>>\n" +
        "\n"
        "History: no earlier Talkweft edits in this context. Repo: /h";
    EXPECT_EQ(buildUserPrompt(req), expected);

    // Optional lines: an empty window title gives none, an empty URL still gives its line.
    AgentRequest bare;
    bare.instruction = "";
    bare.context = promptContext();
    bare.context.windowTitle = "";
    bare.context.url = "";
    EXPECT_EQ(buildUserPrompt(bare),
              "Instruction: \"\"\n\nContext:\n- App: Notes (org.example.notes)\n- Linux user: ada\n- URL: \n\n"
              "No editable text field was detected. Use \"insert\" to type at the cursor anyway, or \"reply\".\n\n"
              "History: not kept for this context.");
}
