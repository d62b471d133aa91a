#include "Talkweft/ContextReader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.hpp"

namespace talkweft {
namespace {

using namespace platform;
using headless::Node;
using headless::TextField;
using testing::DesktopFixture;

TEST(ContextReaderTests, PlainFieldGivesTextSelectionCaretAndWindow) {
    DesktopFixture fx;
    fx.field->setText("Hello brave world");
    fx.field->setSelection({6, 5});
    fx.field->frame = {50, 60, 400, 20};

    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    const AppContext& ctx = cap->ctx;
    EXPECT_EQ(ctx.user, "tester");
    EXPECT_EQ(ctx.appName, "Editor");
    EXPECT_EQ(ctx.bundleID, "org.example.Editor");
    EXPECT_EQ(ctx.pid, 100);
    EXPECT_EQ(ctx.windowTitle, "Notes");
    EXPECT_EQ(ctx.documentPath, std::nullopt);
    EXPECT_EQ(ctx.url, std::nullopt);
    EXPECT_EQ(ctx.role, "AXTextArea");
    EXPECT_EQ(ctx.fieldText, "Hello brave world");
    EXPECT_EQ(ctx.fieldTextBase, 0);
    EXPECT_TRUE(ctx.fieldTextIsFull);
    EXPECT_EQ(ctx.selection, (UTF16Range{6, 5}));
    EXPECT_EQ(ctx.selectedText, "brave");
    EXPECT_EQ(ctx.screenshotPath, std::nullopt);
    EXPECT_EQ(cap->caret, (Rect{50 + 2 + 48, 62, 40, 16}));
    EXPECT_EQ(cap->element, fx.field);
    EXPECT_FALSE(cap->secure);
    EXPECT_LT(std::chrono::system_clock::now() - ctx.capturedAt, std::chrono::seconds(5));
}

TEST(ContextReaderTests, NoFrontAppGivesNothingAndAnAnonymousAppIsUnknown) {
    DesktopFixture fx;
    fx.desktop.clearFrontmost();
    EXPECT_FALSE(ContextReader::capture());

    auto anon = fx.desktop.addApp(7, std::nullopt, std::nullopt);
    fx.desktop.activate(7);
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.bundleID, "unknown");
    EXPECT_EQ(cap->ctx.appName, "unknown");
    EXPECT_EQ(cap->element, nullptr);
    EXPECT_EQ(cap->ctx.role, std::nullopt);
    EXPECT_FALSE(cap->ctx.fieldTextIsFull);
}

TEST(ContextReaderTests, PasswordFieldIsSecureWithoutTextOrCaret) {
    DesktopFixture fx;
    auto pw = std::make_shared<TextField>("hunter2", std::string(AX_ROLE_SECURE_TEXT_FIELD));
    fx.window->addChild(pw);
    fx.app->focus(pw);
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_TRUE(cap->secure);
    EXPECT_EQ(cap->element, pw);
    EXPECT_EQ(cap->caret, std::nullopt);
    EXPECT_EQ(cap->ctx.fieldText, std::nullopt);
    EXPECT_EQ(cap->ctx.selection, std::nullopt);
    EXPECT_EQ(cap->ctx.role, "AXSecureTextField");
}

TEST(ContextReaderTests, PartlyVisibleFieldKeepsItsOffset) {
    DesktopFixture fx;
    fx.field->setText(std::string(1000, 'z'));
    fx.field->visibleOnly = AXRange{300, 80};
    fx.field->setSelection({310, 0});
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.fieldText, std::string(80, 'z'));
    EXPECT_EQ(cap->ctx.fieldTextBase, 300);
    EXPECT_FALSE(cap->ctx.fieldTextIsFull);
    EXPECT_EQ(cap->ctx.selection, (UTF16Range{310, 0}));
    EXPECT_EQ(cap->ctx.selectedText, std::nullopt);  // empty selection: no text, but a selection
}

TEST(ContextReaderTests, WebPageURLIsKeptOnlyForHTTPAddresses) {
    for (const auto& [address, kept] : std::vector<std::pair<std::string, bool>>{
             {"https://mail.example.com/compose", true}, {"http://intranet/", true}, {"file:///home/a/page.html", false}}) {
        SCOPED_TRACE(address);
        DesktopFixture fx;
        auto page = std::make_shared<Node>(std::string(AX_ROLE_WEB_AREA));
        page->set(AX_URL, AXURL{address});
        auto box = std::make_shared<TextField>("Dear Bob,");
        box->set(AX_SUBROLE, std::string("AXSearchField"));
        fx.window->addChild(page);
        page->addChild(box);
        fx.app->focus(box);
        auto cap = ContextReader::capture();
        ASSERT_TRUE(cap);
        EXPECT_EQ(cap->ctx.url, kept ? std::optional(address) : std::nullopt);
        EXPECT_EQ(cap->ctx.role, "AXTextArea/AXSearchField");
        EXPECT_EQ(cap->ctx.fieldText, "Dear Bob,");
    }
}

TEST(ContextReaderTests, DocumentWindowGivesThePathAndFrameStandsInForAnUnknownCaret) {
    DesktopFixture fx;
    fx.window->set(AX_DOCUMENT, AXURL{"file:///home/a/Notes%20Today.md"});
    fx.field->setText("x");
    fx.field->wholeDocumentBounds = true;
    fx.field->frame = {1, 2, 3, 4};
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.documentPath, "/home/a/Notes Today.md");
    EXPECT_EQ(cap->caret, (Rect{1, 2, 3, 4}));
}

TEST(ContextReaderTests, WithoutAccessibilityOnlyTheAppIsKnown) {
    DesktopFixture fx;
    fx.field->setText("private");
    fx.desktop.setTrusted(false);
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.bundleID, "org.example.Editor");
    EXPECT_EQ(cap->ctx.windowTitle, std::nullopt);
    EXPECT_EQ(cap->ctx.fieldText, std::nullopt);
    EXPECT_EQ(cap->ctx.role, std::nullopt);
    EXPECT_EQ(cap->element, nullptr);
}

TEST(ContextReaderTests, FieldThatVanishesMidCaptureLeavesTheRestEmpty) {
    DesktopFixture fx;
    fx.field->setText("going");
    fx.field->onRead = [&](std::string_view name) {
        if (name == AX_SELECTED_TEXT_RANGE) fx.field->remove();
    };
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.fieldText, "going");
    EXPECT_EQ(cap->ctx.selection, std::nullopt);
    EXPECT_EQ(cap->ctx.selectedText, std::nullopt);
    EXPECT_EQ(cap->caret, std::nullopt);  // neither caret nor frame can be read any more
}

TEST(ContextReaderTests, LineCountTreatsEveryLineBreakFormAlike) {
    struct Case {
        std::string text;
        std::int64_t lines;
    };
    for (const Case& c : std::vector<Case>{{"", 1},
                                           {"a\nb\nc", 3},
                                           {"a\r\nb\r\nc\r\n", 4},  // CRLF counts once per break
                                           {"a\rb", 2},
                                           {"\n\n", 3}}) {
        EXPECT_EQ(calcLineCount(c.text), c.lines) << c.text;
    }
}

class VSCodeTests : public ::testing::Test {
protected:
    void SetUp() override {
        fx.app->bundleID = "com.microsoft.VSCode";
        fx.desktop.activate(100);
    }
    DesktopFixture fx;
    testing::TempDir dir;
};

TEST_F(VSCodeTests, TitleLosesTheUnsavedMarkerAndTheURLIsDropped) {
    fx.window->set(AX_TITLE, std::string("\xE2\x97\x8F main.cpp \xE2\x80\x94 proj \t"));
    auto page = std::make_shared<Node>(std::string(AX_ROLE_WEB_AREA));
    page->set(AX_URL, AXURL{"https://vscode.example/"});
    fx.window->addChild(page);
    page->addChild(fx.field);
    fx.field->setText("code");
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.windowTitle, "main.cpp \xE2\x80\x94 proj");
    EXPECT_EQ(cap->ctx.url, std::nullopt);
}

TEST_F(VSCodeTests, FieldWithFewerLinesThanTheSavedFileIsPartial) {
    std::string visible, lf, crlf;
    for (int i = 0; i < 40; ++i) visible += "line\n";
    for (int i = 0; i < 900; ++i) {
        lf += "line\n";
        crlf += "line\r\n";
    }
    for (const auto& [name, file, full] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"same.txt", visible, true}, {"lf.txt", lf, false}, {"crlf.txt", crlf, false}, {"bin.txt", "\xff\xfe", true}}) {
        SCOPED_TRACE(name);
        testing::writeFile(dir.path() / name, file);
        fx.window->set(AX_DOCUMENT, (dir.path() / name).string());
        fx.field->setText(visible);
        auto cap = ContextReader::capture();
        ASSERT_TRUE(cap);
        EXPECT_EQ(cap->ctx.fieldTextIsFull, full);
    }
}

TEST_F(VSCodeTests, DocumentThatIsNotAPlainFileIsNotRead) {
    // A FIFO would block the read forever; a folder reads as nothing.
    const auto fifo = dir.path() / "pipe.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& path : {fifo, dir.path()}) {
        SCOPED_TRACE(path.string());
        fx.window->set(AX_DOCUMENT, path.string());
        fx.field->setText("one\ntwo");
        auto cap = ContextReader::capture();
        ASSERT_TRUE(cap);
        EXPECT_TRUE(cap->ctx.fieldTextIsFull);
    }
}

TEST_F(VSCodeTests, EmptyFieldTextBecomesAbsentWithTheSelection) {
    fx.field->setText("");
    auto cap = ContextReader::capture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->ctx.fieldText, std::nullopt);
    EXPECT_EQ(cap->ctx.selection, std::nullopt);
    EXPECT_FALSE(cap->ctx.fieldTextIsFull);
}

}  // namespace
}  // namespace talkweft
