#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>

#include "SettingsSupport.hpp"

namespace talkweft::testing {
namespace {

using HistoryTab = SettingsViewTest;
using namespace std::chrono_literals;

AppContext historyContext(const std::string& app, const std::string& title, std::optional<std::string> document) {
    AppContext ctx;
    ctx.user = "mira";
    ctx.appName = app;
    ctx.bundleID = "org.example." + app;
    ctx.pid = 42;
    ctx.windowTitle = title;
    ctx.documentPath = std::move(document);
    ctx.capturedAt = std::chrono::system_clock::now();
    return ctx;
}

void recordEdit(const HistoryStore& store, const AppContext& ctx, const std::string& text) {
    HistoryEntry entry;
    entry.date = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    entry.instruction = "write " + text;
    entry.text = text;
    entry.applied = true;
    store.record(ctx, entry, std::nullopt, text);
}

QWidget* contextRow(QListWidget* list, int i) { return list->itemWidget(list->item(i)); }

// A row's full title (the label may elide it; its tooltip holds it whole) or its caption.
std::string rowText(QListWidget* list, int i, const char* label) {
    auto* text = contextRow(list, i)->findChild<QLabel*>(label);
    return (std::string_view(label) == "title" ? text->toolTip() : text->text()).toStdString();
}

TEST_F(HistoryTab, ListsAClearsOneAndClearsAllWithoutAsking) {
    recordEdit(history, historyContext("Notes", "Notes — Draft", std::nullopt), "one");
    recordEdit(history, historyContext("Writer", "Report", "/home/mira/report.odt"), "two");
    recordEdit(history, historyContext("Writer", "Report", "/home/mira/report.odt"), "three");
    makeView();
    auto* list = find<QListWidget>("contexts");
    auto* clearAll = find<QPushButton>("clearAll");
    ASSERT_TRUE(list && clearAll);
    ASSERT_EQ(list->count(), 2);
    ASSERT_EQ(view->contexts().size(), 2u);
    EXPECT_TRUE(clearAll->isEnabled());
    // Newest first; a document path titles the row.
    EXPECT_EQ(rowText(list, 0, "title"), "/home/mira/report.odt");
    EXPECT_EQ(rowText(list, 0, "caption"), "Writer · mira · 2 edits · " +
                                               calcRelativeDate(view->contexts()[0].record.lastSeen, now));
    EXPECT_EQ(rowText(list, 1, "title"), "Notes — Draft");
    EXPECT_EQ(rowText(list, 1, "caption").substr(0, 24), "Notes · mira · 1 edits");

    const auto writerDir = view->contexts()[0].dir;
    contextRow(list, 0)->findChild<QToolButton*>("reveal")->click();
    EXPECT_EQ(revealed, std::vector<std::filesystem::path>{writerDir});

    contextRow(list, 0)->findChild<QToolButton*>("clear")->click();
    EXPECT_EQ(list->count(), 2) << "the clearing runs on the worker; the list changes when it is done";
    view->waitForIdle();
    EXPECT_FALSE(std::filesystem::exists(writerDir));
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(rowText(list, 0, "title"), "Notes — Draft");
    EXPECT_TRUE(asked.empty()) << "clearing one context asks nothing";

    // Answering no to any question must not stop it: clearing everything asks nothing either.
    answer = false;
    clearAll->click();
    view->waitForIdle();
    EXPECT_TRUE(asked.empty()) << "clearing all asked: " << (asked.empty() ? "" : asked[0].title);
    EXPECT_FALSE(std::filesystem::exists(history.root));
    EXPECT_EQ(list->count(), 0);
    EXPECT_FALSE(clearAll->isEnabled());
    EXPECT_TRUE(find<QPushButton>("refresh")->isEnabled());
    EXPECT_TRUE(find<QLabel>("historyError")->isHidden());
}

TEST_F(HistoryTab, AFailedClearIsReportedAndTheListShowsWhatIsLeft) {
    recordEdit(history, historyContext("Notes", "Plan", std::nullopt), "one");
    makeView();
    auto* list = find<QListWidget>("contexts");
    ASSERT_EQ(list->count(), 1);
    // The folder is swapped for a link leading out of the history folder: the store refuses it.
    const auto dir = view->contexts()[0].dir;
    TempDir outside;
    std::filesystem::rename(dir, outside.path() / "moved");
    std::filesystem::create_directory_symlink(outside.path() / "moved", dir);
    contextRow(list, 0)->findChild<QToolButton*>("clear")->click();
    view->waitForIdle();
    auto* error = find<QLabel>("historyError");
    EXPECT_FALSE(error->isHidden());
    EXPECT_TRUE(error->text().startsWith("Couldn't clear the history: ")) << error->text().toStdString();
    EXPECT_TRUE(std::filesystem::exists(outside.path() / "moved" / "context.json")) << "nothing outside is deleted";

    // Edits recorded meanwhile show after Refresh, and a later success hides the report.
    std::filesystem::remove(dir);
    recordEdit(history, historyContext("Mail", "Inbox", std::nullopt), "two");
    find<QPushButton>("refresh")->click();
    view->waitForIdle();
    ASSERT_EQ(list->count(), 1);
    contextRow(list, 0)->findChild<QToolButton*>("clear")->click();
    view->waitForIdle();
    EXPECT_TRUE(error->isHidden());
    EXPECT_EQ(list->count(), 0);
}

TEST_F(HistoryTab, SwitchesAreStoredAndDeleteNothing) {
    recordEdit(history, historyContext("Notes", "Plan", std::nullopt), "one");
    makeView();
    find<QCheckBox>("keepHistory")->click();
    EXPECT_FALSE(saved().keepHistory);
    view->reload();
    view->waitForIdle();
    EXPECT_EQ(find<QListWidget>("contexts")->count(), 1);
}

TEST(HistoryTexts, TitleTakesTheFirstPresentField) {
    ContextRecord r;
    r.key.subject = "window:plan";
    EXPECT_EQ(calcContextTitle(r).toStdString(), "window:plan");
    r.windowTitle = "Plan";
    EXPECT_EQ(calcContextTitle(r).toStdString(), "Plan");
    r.url = "https://example.com/a";
    EXPECT_EQ(calcContextTitle(r).toStdString(), "https://example.com/a");
    r.documentPath = "/home/mira/plan.md";
    EXPECT_EQ(calcContextTitle(r).toStdString(), "/home/mira/plan.md");
}

TEST(HistoryTexts, RelativeDates) {
    const Date now = std::chrono::system_clock::now();
    const std::pair<std::chrono::seconds, const char*> cases[] = {
        {0s, "now"},
        {-1s, "1 second ago"},
        {-59s, "59 seconds ago"},
        {-60s, "1 minute ago"},
        {150s, "in 2 minutes"},
        {-3600s, "1 hour ago"},
        {-23h, "23 hours ago"},
        {-24h, "yesterday"},
        {24h, "tomorrow"},
        {-72h, "3 days ago"},
        {-24h * 7, "last week"},
        {-24h * 20, "2 weeks ago"},
        {24h * 14, "in 2 weeks"},
        {-24h * 31, "last month"},
        {-24h * 200, "6 months ago"},
        {-24h * 364, "11 months ago"},
        {-24h * 365, "last year"},
        {24h * 800, "in 2 years"},
    };
    for (const auto& [offset, text] : cases) EXPECT_EQ(calcRelativeDate(now + offset, now), text) << offset.count();
}

}  // namespace
}  // namespace talkweft::testing
