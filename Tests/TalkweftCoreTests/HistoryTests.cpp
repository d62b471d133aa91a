#include "TalkweftCore/History.hpp"

#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "ProcessTestSupport.hpp"
#include "TalkweftCore/AgentResult.hpp"
#include "TalkweftCore/Shell.hpp"

namespace fs = std::filesystem;

namespace talkweft {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

Date at(std::int64_t secondsSinceEpoch) { return Date(std::chrono::seconds(secondsSinceEpoch)); }

AppContext makeContext(std::string title = "Notes — Draft") {
    AppContext ctx;
    ctx.user = "mira";
    ctx.appName = "Notes";
    ctx.bundleID = "org.example.notes";
    ctx.pid = 42;
    ctx.windowTitle = std::move(title);
    ctx.capturedAt = at(1'700'000'000);
    return ctx;
}

HistoryEntry makeEntry(Mode mode, std::string instruction, bool applied = true) {
    HistoryEntry e;
    e.date = at(1'700'000'100);
    e.mode = mode;
    e.instruction = std::move(instruction);
    e.action = AgentAction::insert;
    e.text = "inserted";
    e.applied = applied;
    return e;
}

// Every test gets a fresh history root, and git runs with a temporary HOME and no system config.
class History : public ::testing::Test {
protected:
    void SetUp() override {
        (void)SHELL_PATH();  // fixed at first use: let it take the real home folder
        savedHome_ = std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
        ::setenv("HOME", home_.str().c_str(), 1);
        ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
    }
    void TearDown() override {
        if (savedHome_) ::setenv("HOME", savedHome_->c_str(), 1);
        else ::unsetenv("HOME");
    }

    std::string gitLog(const fs::path& dir, const char* format = "%s") {
        auto r = runShell(GIT, {"log", std::string("--format=") + format}, dir.string());
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    TempDir home_;
    TempDir base_;
    HistoryStore store_{base_.path() / "history"};
    std::optional<std::string> savedHome_;
};

TEST_F(History, CommitChainObservesOutsideChangesBeforeEachEdit) {
    const AppContext ctx = makeContext();
    const fs::path dir = store_.calcDir(calcContextKey(ctx));

    store_.record(ctx, makeEntry(Mode::dictate, "first"), "draft", "draft caf\u00e9");
    // Later captures of the same context keep the first capture time as firstSeen.
    AppContext later = ctx;
    later.capturedAt = at(1'700'000'900);
    // Same text, decomposed: canonically equal, so no observe commit.
    store_.record(later, makeEntry(Mode::agent, "second"), "draft cafe\u0301", "draft café!");
    // The user typed meanwhile; no text read back after the edit.
    store_.record(later, makeEntry(Mode::agent, "third", false), "typed by hand", std::nullopt);
    store_.record(later, makeEntry(Mode::dictate, "fourth"), std::nullopt, std::nullopt);

    EXPECT_EQ(gitLog(dir),
              "dictate: fourth\n"
              "agent: third\n"
              "observe: field changed outside Talkweft\n"
              "agent: second\n"
              "dictate: first\n"
              "observe: initial field text\n");
    EXPECT_EQ(readFile(dir / "text.txt"), "typed by hand");

    auto record = ContextRecord::fromJSON(jsoncoding::parse(readFile(dir / "context.json")));
    EXPECT_EQ(record.editCount, 4);
    EXPECT_EQ(record.firstSeen, ctx.capturedAt);
    EXPECT_EQ(record.key, calcContextKey(ctx));
    EXPECT_EQ(record.windowTitle, ctx.windowTitle);
    EXPECT_GE(record.lastSeen, record.firstSeen);

    auto entries = store_.recent(calcContextKey(ctx), 10);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].instruction, "first");
    EXPECT_EQ(entries[2], makeEntry(Mode::agent, "third", false));
    // The commit body arrives whole through git's standard input.
    auto body = runShell(GIT, {"log", "-1", "--format=%B"}, dir.string()).out;
    EXPECT_EQ(body, calcCommitMessage(ctx, makeEntry(Mode::dictate, "fourth")) + "\n");
}

TEST_F(History, FirstRecordWithoutBeforeMakesOnlyTheEditCommit) {
    const AppContext ctx = makeContext();
    store_.record(ctx, makeEntry(Mode::dictate, "hello"), std::nullopt, "hello");
    const fs::path dir = store_.calcDir(calcContextKey(ctx));
    EXPECT_EQ(gitLog(dir), "dictate: hello\n");
    EXPECT_EQ(gitLog(dir, "%an <%ae>"), "Talkweft <talkweft@localhost>\n");
}

TEST_F(History, FilesFollowTheUmaskAndKeepTheirMode) {
    auto modeOf = [](const fs::path& file) {
        struct stat info {};
        return ::stat(file.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    const AppContext ctx = makeContext();
    const fs::path dir = store_.calcDir(calcContextKey(ctx));
    const mode_t previous = ::umask(077);
    store_.record(ctx, makeEntry(Mode::dictate, "private"), std::nullopt, "private text");
    EXPECT_EQ(modeOf(dir / "text.txt"), 0600u) << "field text must not be readable by others under umask 077";
    EXPECT_EQ(modeOf(dir / "context.json"), 0600u);
    ::umask(022);
    store_.record(ctx, makeEntry(Mode::dictate, "again"), std::nullopt, "more text");
    ::umask(previous);
    EXPECT_EQ(modeOf(dir / "text.txt"), 0600u) << "replacing a file must not widen its mode";
    EXPECT_EQ(readFile(dir / "text.txt"), "more text");
}

TEST_F(History, CommitMessages) {
    AppContext full = makeContext("Inbox");
    full.url = "https://Mail.example.com/inbox?x=1";
    full.documentPath = "/home/mira/reply.txt";
    HistoryEntry agent = makeEntry(Mode::agent, "answer\nthe mail", false);
    agent.action = AgentAction::reply;
    agent.message = "Sent.\nDone";
    agent.external = {"Sent email to Vorn", "Created event"};

    AppContext bare = makeContext();
    bare.windowTitle = "";
    HistoryEntry longOne = makeEntry(Mode::dictate, std::string(200, 'x'));

    const struct {
        AppContext ctx;
        HistoryEntry entry;
        std::string expected;
    } cases[] = {
        {full, agent,
         "agent: answer the mail\n\nAction: reply (not applied)\nApp: Notes (org.example.notes)\nUser: mira\n"
         "Window: Inbox\nURL: https://Mail.example.com/inbox?x=1\nDocument: /home/mira/reply.txt\n"
         "Message: Sent. Done\nExternal: Sent email to Vorn\nExternal: Created event\n"},
        {bare, longOne,
         "dictate: " + std::string(111, 'x') + "\n\nAction: insert\nApp: Notes (org.example.notes)\nUser: mira\nWindow: \n"},
    };
    for (const auto& c : cases) EXPECT_EQ(calcCommitMessage(c.ctx, c.entry), c.expected);
}

TEST_F(History, RecentTakesTheLastLinesAndSkipsDamagedOnes) {
    const ContextKey key = calcContextKey(makeContext());
    EXPECT_TRUE(store_.recent(key, 5).empty());  // never recorded

    std::string log;
    for (int i = 1; i <= 4; ++i) log += makeEntry(Mode::dictate, "e" + std::to_string(i)).toJSON().dump() + "\n";
    log += "{\"date\": \"broken\n";
    writeFile(store_.calcDir(key) / "log.jsonl", log);

    const struct {
        std::int64_t limit;
        std::vector<std::string> instructions;
    } cases[] = {
        {3, {"e3", "e4"}},  // the damaged last line is not made up for
        {10, {"e1", "e2", "e3", "e4"}},
        {0, {}},
        {-2, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        std::vector<std::string> got;
        for (const auto& e : store_.recent(key, c.limit)) got.push_back(e.instruction);
        EXPECT_EQ(got, c.instructions);
    }

    // A date with fractional seconds does not decode.
    auto j = makeEntry(Mode::dictate, "fraction").toJSON();
    j["date"] = "2023-11-14T22:13:20.5Z";
    writeFile(store_.calcDir(key) / "log.jsonl", j.dump() + "\n");
    EXPECT_TRUE(store_.recent(key, 5).empty());
}

TEST_F(History, AnEntryAfterACutShortLineIsKept) {
    const AppContext ctx = makeContext();
    const ContextKey key = calcContextKey(ctx);
    writeFile(store_.calcDir(key) / "log.jsonl", makeEntry(Mode::dictate, "old").toJSON().dump() + "\n{\"date\":\"20");
    store_.record(ctx, makeEntry(Mode::agent, "new"), std::nullopt, "x");
    auto entries = store_.recent(key, 2);
    ASSERT_EQ(entries.size(), 1u);  // the damaged line is skipped, the new one is whole
    EXPECT_EQ(entries[0].instruction, "new");
    EXPECT_EQ(store_.recent(key, 3).size(), 2u);
}

TEST_F(History, ListReturnsReadableRecordsNewestFirst) {
    EXPECT_TRUE(store_.list().empty());  // no root yet

    auto writeRecord = [&](const std::string& rel, const std::string& subject, std::int64_t lastSeen) {
        ContextRecord r{ContextKey{"mira", "org.example.notes", subject}, "Notes", std::nullopt, std::nullopt,
                        std::nullopt, at(1'600'000'000), at(lastSeen), 1};
        writeFile(store_.root / rel / "context.json", r.toJSON().dump(2));
        return r;
    };
    auto older = writeRecord("mira/org.example.notes/a", "window:a", 1'700'000'000);
    auto newer = writeRecord("mira/org.example.notes/b", "window:b", 1'700'000'500);
    writeFile(store_.root / "mira/org.example.notes/c/context.json", "{\"key\": 1}");

    auto contexts = store_.list();
    ASSERT_EQ(contexts.size(), 2u);
    EXPECT_EQ(contexts[0], (StoredContext{newer, store_.root / "mira/org.example.notes/b"}));
    EXPECT_EQ(contexts[1], (StoredContext{older, store_.root / "mira/org.example.notes/a"}));
}

TEST_F(History, ClearRemovesTheContextAndEmptyParentsOnly) {
    const AppContext ctx = makeContext();
    store_.record(ctx, makeEntry(Mode::dictate, "one"), "a", "b");
    AppContext other = makeContext("Other window");
    store_.record(other, makeEntry(Mode::dictate, "two"), std::nullopt, "c");

    const fs::path dir = store_.calcDir(calcContextKey(ctx));
    store_.clear(dir);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(fs::exists(dir.parent_path()));  // still holds the other context

    const fs::path otherDir = store_.calcDir(calcContextKey(other));
    writeFile(otherDir.parent_path() / ".DS_Store", "x");
    store_.clear(otherDir);
    EXPECT_FALSE(fs::exists(store_.root / "mira"));  // bundle and user folders went too
    EXPECT_TRUE(fs::exists(store_.root));

    // Re-recording after a clear starts a fresh repository.
    store_.record(ctx, makeEntry(Mode::dictate, "again"), std::nullopt, "d");
    EXPECT_EQ(gitLog(dir), "dictate: again\n");
}

TEST_F(History, ClearRefusesFoldersOutsideTheRoot) {
    store_.record(makeContext(), makeEntry(Mode::dictate, "one"), std::nullopt, "x");
    const fs::path outside = base_.path() / "outside";
    writeFile(outside / "keep.txt", "keep");
    fs::create_symlink(outside, store_.root / "link");

    for (const fs::path& dir : {store_.root, store_.root / "mira" / "..", outside, store_.root / "link",
                                fs::path(store_.root.string() + "-sibling")}) {
        SCOPED_TRACE(dir.string());
        EXPECT_THROW(store_.clear(dir), HistoryError);
    }
    EXPECT_EQ(readFile(outside / "keep.txt"), "keep");
    EXPECT_EQ(store_.list().size(), 1u);
}

TEST_F(History, ClearAllRemovesTheRoot) {
    store_.clearAll();  // nothing there yet
    store_.record(makeContext(), makeEntry(Mode::dictate, "one"), std::nullopt, "x");
    store_.clearAll();
    EXPECT_FALSE(fs::exists(store_.root));
    EXPECT_TRUE(store_.list().empty());
}

TEST_F(History, ConcurrentRecordsOnOneContextAllCommitUnderTheirOwnMessages) {
    const AppContext ctx = makeContext();
    constexpr int N = 6;
    std::vector<std::thread> threads;
    std::vector<std::string> errors(N);
    for (int i = 0; i < N; ++i)
        threads.emplace_back([&, i] {
            try {
                // A second store value with the same root is interchangeable.
                HistoryStore(store_.root).record(ctx, makeEntry(Mode::agent, "edit " + std::to_string(i)),
                                                 "text " + std::to_string(i), "after " + std::to_string(i));
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& e : errors) EXPECT_EQ(e, "");

    const fs::path dir = store_.calcDir(calcContextKey(ctx));
    // Each edit commit holds exactly its own log line: the diff of log.jsonl adds one line whose
    // instruction matches the subject.
    for (int i = 0; i < N; ++i) {
        auto r = runShell(GIT, {"log", "--format=", "-p", "--grep=^agent: edit " + std::to_string(i) + "$", "--", "log.jsonl"},
                          dir.string());
        SCOPED_TRACE(i);
        ASSERT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("+{\"date\":\"2023-11-14T22:15:00Z\",\"mode\":\"agent\",\"instruction\":\"edit " +
                             std::to_string(i) + "\""),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(store_.recent(calcContextKey(ctx), 100).size(), static_cast<std::size_t>(N));
    auto record = ContextRecord::fromJSON(jsoncoding::parse(readFile(dir / "context.json")));
    EXPECT_EQ(record.editCount, N);
    auto subjects = gitLog(dir);
    EXPECT_EQ(std::count(subjects.begin(), subjects.end(), '\n'), 2 * N);  // an observe commit before each edit
}

// Git exports GIT_DIR, GIT_INDEX_FILE and the like to its hooks; a Talkweft started from a hook of
// another repository must still record into its own and leave that repository alone.
TEST_F(History, GitVariablesOfACallingRepositoryAreIgnored) {
    const fs::path other = base_.path() / "other";
    fs::create_directories(other);
    ASSERT_EQ(runShell(GIT, {"init", "-q"}, other.string()).status, 0);
    writeFile(other / "tracked.txt", "mine");
    const AppContext ctx = makeContext();
    {
        testing::ScopedEnv gitDir("GIT_DIR", (other / ".git").c_str());
        testing::ScopedEnv index("GIT_INDEX_FILE", (other / ".git" / "index").c_str());
        testing::ScopedEnv workTree("GIT_WORK_TREE", other.c_str());
        testing::ScopedEnv config("GIT_CONFIG_PARAMETERS", "'user.name=Intruder'");
        store_.record(ctx, makeEntry(Mode::dictate, "hello"), "before", "after");
    }
    const fs::path dir = store_.calcDir(calcContextKey(ctx));
    EXPECT_EQ(gitLog(dir, "%an %s"), "Talkweft dictate: hello\nTalkweft observe: initial field text\n");
    EXPECT_EQ(runShell(GIT, {"ls-files"}, dir.string()).out, "context.json\nlog.jsonl\ntext.txt\n");
    EXPECT_NE(runShell(GIT, {"rev-parse", "--verify", "-q", "HEAD"}, other.string()).status, 0);  // no commit there
    EXPECT_FALSE(fs::exists(other / ".git" / "index"));
}

TEST_F(History, AnUnreadableOrExtremeRecordDoesNotBreakTheCount) {
    const AppContext ctx = makeContext();
    const fs::path file = store_.calcDir(calcContextKey(ctx)) / "context.json";
    ContextRecord extreme{calcContextKey(ctx), "Notes", std::nullopt, std::nullopt, std::nullopt,
                          at(1'600'000'000), at(1'600'000'000), std::numeric_limits<std::int64_t>::max()};
    const struct {
        const char* name;
        std::string stored;
        std::int64_t count;
        Date firstSeen;
    } cases[] = {
        {"undecodable: a fresh record", "{\"editCount\": ", 1, ctx.capturedAt},
        {"largest count: kept, not wrapped", extreme.toJSON().dump(2), extreme.editCount, extreme.firstSeen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(file, c.stored);
        store_.record(ctx, makeEntry(Mode::dictate, "one"), std::nullopt, "x");
        auto record = ContextRecord::fromJSON(jsoncoding::parse(readFile(file)));
        EXPECT_EQ(record.editCount, c.count);
        EXPECT_EQ(record.firstSeen, c.firstSeen);
    }
}

// Window titles and app ids come from other programs and need not be valid UTF-8.
TEST_F(History, BrokenBytesInTheContextAreRecordedRepaired) {
    const AppContext ctx = makeContext("Caf\xE9 menu");
    store_.record(ctx, makeEntry(Mode::dictate, "order \xFF"), "before", "after");
    auto contexts = store_.list();
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_EQ(contexts[0].record.key.subject, "window:Caf\uFFFD menu");
    auto entries = store_.recent(calcContextKey(ctx), 5);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].instruction, "order \uFFFD");
}

TEST_F(History, GitFailureIsReportedWithTheCommandAndItsError) {
    const AppContext ctx = makeContext();
    const fs::path dir = store_.calcDir(calcContextKey(ctx));
    writeFile(dir / ".git", "not a repository");
    try {
        store_.record(ctx, makeEntry(Mode::dictate, "one"), std::nullopt, "x");
        FAIL() << "expected a git failure";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.kind(), AgentError::Kind::failed);
        EXPECT_EQ(e.message().rfind("git add: ", 0), 0u) << e.message();
        EXPECT_GT(e.message().size(), std::string("git add: ").size());
    }
    EXPECT_EQ(readFile(dir / "text.txt"), "x");  // written files stay for the next commit
}

}  // namespace
}  // namespace talkweft
