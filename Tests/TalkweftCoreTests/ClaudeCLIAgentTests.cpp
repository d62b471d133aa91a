#include "TalkweftCore/ClaudeCLIAgent.hpp"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "ProcessTestSupport.hpp"
#include "TalkweftCore/ProcessTree.hpp"
#include "TalkweftCore/Prompt.hpp"
#include "TalkweftCore/Task.hpp"

namespace fs = std::filesystem;

namespace talkweft {
namespace {

using namespace std::chrono_literals;
using testing::ProcessWatch;
using testing::readFile;
using testing::TempDir;
using testing::waitForFile;
using testing::writeFile;

const std::string FAKE = std::string(TALKWEFT_TEST_DATA) + "/fixtures/fake-claude";

std::vector<std::string> splitNul(const std::string& s) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (s[i] == '\0') {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

// Runs the fake agent from a fresh record folder ($FAKE_CLAUDE_DIR) and a temporary HOME.
class ClaudeCLIAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Values fixed at first use take the real home folder, whatever ran first.
        (void)ClaudeCLIConfig::DEFAULT();
        (void)SHELL_PATH();
        for (const char* name : {"HOME", "FAKE_CLAUDE_DIR", "FAKE_CLAUDE_MODE", "ENABLE_TOOL_SEARCH"})
            saved_.emplace_back(name, std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt);
        ::setenv("HOME", home_.str().c_str(), 1);
        ::setenv("FAKE_CLAUDE_DIR", rec_.str().c_str(), 1);
        ::unsetenv("FAKE_CLAUDE_MODE");
        // Inherited by the tool unless the extra environment replaces it.
        ::setenv("ENABLE_TOOL_SEARCH", "false", 1);
        fs::create_directories(work_);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

    ClaudeCLIConfig config() const {
        ClaudeCLIConfig cfg = ClaudeCLIConfig::DEFAULT();
        cfg.path = FAKE;
        cfg.timeout = 30;
        return cfg;
    }

    AgentRequest request() const {
        AgentRequest req;
        req.instruction = "make it shorter";
        req.context.user = "mira";
        req.context.appName = "Notes";
        req.context.bundleID = "org.example.notes";
        req.context.fieldText = "A long sentence.";
        req.workDir = work_;
        return req;
    }

    void answer(const std::string& out, const std::string& err = "", int status = 0) {
        writeFile(rec_.path() / "stdout", out);
        writeFile(rec_.path() / "stderr", err);
        writeFile(rec_.path() / "status", std::to_string(status));
    }

    std::vector<std::string> recordedArgs() { return splitNul(readFile(rec_.path() / "args")); }
    std::map<std::string, std::string> recordedEnv() {
        std::map<std::string, std::string> env;
        for (const auto& e : splitNul(readFile(rec_.path() / "env"))) env[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
        return env;
    }

    TempDir home_, rec_, base_;
    fs::path work_ = base_.path() / "work";
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

const std::string REPLY = R"({"action":"reply","message":"hi"})";
const std::string ENVELOPE = R"({"type":"result","is_error":false,"result":"ok","structured_output":)" + REPLY + "}";

// The fixed head of every argument list.
std::vector<std::string> head(const ClaudeCLIConfig& cfg, const AgentRequest& req) {
    return {"-p", buildUserPrompt(req), "--output-format", "json", "--no-session-persistence", "--permission-mode",
            "dontAsk", "--append-system-prompt", buildSystemPrompt(cfg.connectors, cfg.connectorWrites, req.standing),
            "--json-schema", std::string(RESULT_SCHEMA)};
}

TEST_F(ClaudeCLIAgentTest, ArgumentsEnvironmentAndWorkingFolderReachTheTool) {
    const std::string shot = (base_.path() / "shots" / "w.png").string();
    const std::string hist = (base_.path() / "hist").string();
    const std::string allServers = [] {
        std::string s;
        for (const auto& server : CONNECTOR_SERVERS()) s += " " + server;
        return s;
    }();
    struct Case {
        const char* name;
        std::function<void(ClaudeCLIConfig&, AgentRequest&)> setup;
        std::vector<std::string> tail;  // after the fixed head
        bool toolSearchEnv;
    };
    const ClaudeCLIConfig d = ClaudeCLIConfig::DEFAULT();
    const std::vector<Case> cases = {
        {"connectors off, allowed tools trimmed",
         [](auto& c, auto&) { c.connectors = false; c.allowedTools = " \tRead  Grep\t "; },
         {"--tools", d.tools, "--allowedTools", "Read  Grep", "--strict-mcp-config"}, false},
        {"connectors on, writes off",
         [](auto&, auto&) {},
         {"--tools", d.tools + ",ToolSearch", "--allowedTools", d.allowedTools + " ToolSearch " + d.connectorTools}, true},
        {"connectors on, writes on",
         [](auto& c, auto&) { c.connectorWrites = true; },
         {"--tools", d.tools + ",ToolSearch", "--allowedTools", d.allowedTools + " ToolSearch " + d.connectorTools + allServers},
         true},
        {"nothing allowed, no tools, connectors off",
         [](auto& c, auto&) { c.connectors = false; c.allowedTools = ""; c.tools = ""; },
         {"--tools", "", "--strict-mcp-config"}, false},
        {"no tools, connectors on, nothing allowed",
         [](auto& c, auto&) { c.tools = ""; c.allowedTools = " "; c.connectorTools = ""; },
         {"--tools", ",ToolSearch", "--allowedTools", "ToolSearch"}, true},
        {"model, folders and extra arguments",
         [&](auto& c, auto& r) {
             c.connectors = false;
             c.allowedTools = "";
             c.model = "opus";
             c.extraArgs = "--max-turns  3 \"two words\"";
             r.historyDir = hist;
             r.context.screenshotPath = shot;
         },
         {"--tools", d.tools, "--strict-mcp-config", "--model", "opus", "--add-dir", hist, "--add-dir",
          (base_.path() / "shots").string(), "--max-turns", "3", "\"two", "words\""},
         false},
        {"screenshot inside the history folder: one pair",
         [&](auto& c, auto& r) {
             c.connectors = false;
             c.allowedTools = "";
             r.historyDir = hist;
             r.context.screenshotPath = hist + "/w.png";
         },
         {"--tools", d.tools, "--strict-mcp-config", "--add-dir", hist}, false},
        {"screenshot path ending in a slash: its last component is removed",
         [&](auto& c, auto& r) {
             c.connectors = false;
             c.allowedTools = "";
             r.context.screenshotPath = hist + "/shots/";
         },
         {"--tools", d.tools, "--strict-mcp-config", "--add-dir", hist}, false},
        {"screenshot in the working folder: none",
         [&](auto& c, auto& r) {
             c.connectors = false;
             c.allowedTools = "";
             r.context.screenshotPath = (work_ / "w.png").string();
         },
         {"--tools", d.tools, "--strict-mcp-config"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClaudeCLIConfig cfg = config();
        AgentRequest req = request();
        c.setup(cfg, req);
        auto expected = head(cfg, req);
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(buildClaudeArgs(cfg, req), expected);

        answer(ENVELOPE);
        EXPECT_EQ(ClaudeCLIAgent(cfg).run(req), parseAgentResult(REPLY));
        EXPECT_EQ(recordedArgs(), expected);
        auto env = recordedEnv();
        EXPECT_EQ(buildClaudeEnv(cfg).size(), c.toolSearchEnv ? 1u : 0u);
        EXPECT_EQ(env["ENABLE_TOOL_SEARCH"], c.toolSearchEnv ? "true" : "false");
        EXPECT_EQ(env["PATH"].rfind(SHELL_PATH() + ":", 0), 0u);
        EXPECT_EQ(readFile(rec_.path() / "cwd"), work_.string() + "\n");
        EXPECT_EQ(readFile(rec_.path() / "stdin"), "");  // the null device
    }
}

// A message that one argument cannot carry whole reaches the tool on its standard input.
TEST_F(ClaudeCLIAgentTest, AMessageTooLargeOrWithANulByteGoesToStandardInput) {
    std::string emoji;
    for (int i = 0; i < 40000; ++i) emoji += "\xF0\x9F\x98\x80";  // 4 bytes each: 160 KB
    const std::string fields[] = {emoji, std::string("before\0after", 12)};
    for (const auto& field : fields) {
        AgentRequest req = request();
        req.context.fieldText = field;
        const std::string message = buildUserPrompt(req);
        ASSERT_TRUE(promptNeedsStandardInput(message));

        answer(ENVELOPE);
        EXPECT_EQ(ClaudeCLIAgent(config()).run(req), parseAgentResult(REPLY));
        auto args = recordedArgs();
        ASSERT_GE(args.size(), 2u);
        EXPECT_EQ(args[0], "-p");
        EXPECT_EQ(args[1], "--output-format");
        EXPECT_EQ(readFile(rec_.path() / "stdin"), message);
    }
    EXPECT_FALSE(promptNeedsStandardInput(std::string(MAX_PROMPT_ARGUMENT_BYTES, 'x')));
}

TEST_F(ClaudeCLIAgentTest, OutputTable) {
    const std::string err500 = std::string(100, 'a') + std::string(400, 'z');
    const std::string prose = "Here it is:\n```json\n" + REPLY + "\n```\nDone.";
    // Written back as text level by level, this would overflow the stack.
    const std::string deep = R"({"structured_output":)" + std::string(200000, '[') + std::string(200000, ']') + "}";
    const struct {
        const char* name;
        std::string out, err;
        int status;
        std::optional<AgentResult> result;
        std::string error;  // what() of the AgentError otherwise
    } cases[] = {
        {"is_error with result", R"({"is_error":true,"result":"rate limited","structured_output":)" + REPLY + "}", "", 1,
         std::nullopt, "Agent failed: rate limited"},
        {"is_error with subtype", R"({"is_error":true,"result":7,"subtype":"error_max_turns"})", "", 0, std::nullopt,
         "Agent failed: error_max_turns"},
        {"is_error alone", R"({"is_error":true})", "", 0, std::nullopt, "Agent failed: unknown error"},
        {"is_error not a boolean", R"({"is_error":"true","structured_output":)" + REPLY + "}", "", 0,
         parseAgentResult(REPLY), ""},
        {"structured output wins over result", ENVELOPE, "", 0, parseAgentResult(REPLY), ""},
        {"structured output null: prose result", R"({"structured_output":null,"result":)" + nlohmann::json(prose).dump() + "}",
         "", 0, parseAgentResult(REPLY), ""},
        {"bad answer inside", R"({"result":"no json here"})", "", 0, std::nullopt,
         "Agent returned unreadable output: no json here"},
        {"no result at all", R"({"type":"result"})", "", 0, std::nullopt, "Agent returned unreadable output: "},
        {"not JSON", std::string(350, 'x'), "", 0, std::nullopt, "Agent returned unreadable output: " + std::string(300, 'x')},
        {"not an object", "[1,2]", "", 0, std::nullopt, "Agent returned unreadable output: [1,2]"},
        {"nested too deep", deep, "", 0, std::nullopt, "Agent returned unreadable output: " + deep.substr(0, 300)},
        {"only stderr, status 2", "", err500, 2, std::nullopt, "Agent failed: " + std::string(400, 'z')},
        {"nothing, status 2", "", "", 2, std::nullopt, "Agent failed: exit 2"},
        {"non-zero status, valid envelope", ENVELOPE, "warning", 3, parseAgentResult(REPLY), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        answer(c.out, c.err, c.status);
        try {
            AgentResult r = ClaudeCLIAgent(config()).run(request());
            ASSERT_TRUE(c.result) << "got a result";
            EXPECT_EQ(r, *c.result);
        } catch (const AgentError& e) {
            EXPECT_FALSE(c.result) << e.what();
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
}

TEST_F(ClaudeCLIAgentTest, MissingExecutableIsALaunchError) {
    const struct {
        std::string path, expected;
    } cases[] = {
        {"~/.local/bin/claude", "Couldn't start agent: no executable at " + home_.str() + "/.local/bin/claude"},
        {"", "Couldn't start agent: no executable at "},
        {base_.str(), "Couldn't start agent: no executable at " + base_.str()},  // a folder
    };
    for (const auto& c : cases) {
        ClaudeCLIConfig cfg = config();
        cfg.path = c.path;
        try {
            ClaudeCLIAgent(cfg).run(request());
            ADD_FAILURE() << "expected a launch error for " << c.path;
        } catch (const AgentError& e) {
            EXPECT_EQ(e.kind(), AgentError::Kind::launch);
            EXPECT_EQ(std::string(e.what()), c.expected);
        }
    }
    EXPECT_FALSE(fs::exists(rec_.path() / "args"));  // nothing was started

    // "~" is expanded before the check.
    fs::create_directories(home_.path() / "bin");
    fs::copy_file(FAKE, home_.path() / "bin" / "claude");
    ClaudeCLIConfig cfg = config();
    cfg.path = "~/bin/claude";
    answer(ENVELOPE);
    EXPECT_EQ(ClaudeCLIAgent(cfg).run(request()), parseAgentResult(REPLY));

    // A working folder that does not exist: the process cannot start.
    AgentRequest req = request();
    req.workDir = base_.path() / "missing";
    EXPECT_THROW(ClaudeCLIAgent(config()).run(req), std::system_error);
}

TEST_F(ClaudeCLIAgentTest, TimeoutIsReportedAsATimeout) {
    ::setenv("FAKE_CLAUDE_MODE", "hang", 1);
    for (double timeout : {0.2, 0.0, -1.0}) {
        SCOPED_TRACE(timeout);
        ClaudeCLIConfig cfg = config();
        cfg.timeout = timeout;
        try {
            ClaudeCLIAgent(cfg).run(request());
            ADD_FAILURE() << "expected a timeout";
        } catch (const AgentError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Agent failed: timed out after " + std::string(timeout > 0 ? "0.2" : "0") + " seconds");
        }
    }
}

TEST_F(ClaudeCLIAgentTest, CancellingTheTaskEndsTheRunSilently) {
    ::setenv("FAKE_CLAUDE_MODE", "hang", 1);
    ClaudeCLIAgent agent(config());
    const AgentRequest req = request();
    Task<AgentResult> task([&] { return agent.run(req); });
    auto pid = waitForFile(rec_.path() / "pid");
    ASSERT_TRUE(pid);
    ProcessWatch tool(std::stol(*pid));
    ASSERT_TRUE(tool.running());
    task.cancel();
    EXPECT_THROW(task.get(), CancellationError);
    EXPECT_TRUE(tool.waitForExit(0ms)) << "the run ends only after the tool";

    // Already cancelled before the run: the tool is started and stopped at once.
    fs::remove(rec_.path() / "pid");
    std::stop_source stopped;
    stopped.request_stop();
    CancellationScope scope(stopped.get_token());
    EXPECT_THROW(agent.run(req), CancellationError);
}

// The tool ignores the termination request, or leaves a helper that holds its output open: the run
// still ends soon after the grace period, whether cancelled or timed out, and nothing survives.
// The box is cancelled or timed out (as the time limit does it) once the pid file shows the
// resistance in place; the time limit's own way to the box is TimeoutIsReportedAsATimeout's.
TEST_F(ClaudeCLIAgentTest, StubbornToolsEndWithinTheGracePeriod) {
    const struct {
        const char* mode;
        bool timeOut;
    } cases[] = {{"stubborn", true}, {"stubborn", false}, {"grandchild", true}, {"grandchild", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.timeOut ? ", timed out" : ", cancelled"));
        fs::remove(rec_.path() / "pid");
        ::setenv("FAKE_CLAUDE_MODE", c.mode, 1);
        auto box = std::make_shared<ProcessBox>();
        std::unique_ptr<ProcessWatch> survivor;
        std::thread stopper([&] {
            if (auto pid = waitForFile(rec_.path() / "pid")) survivor = std::make_unique<ProcessWatch>(std::stol(*pid));
            if (c.timeOut) box->timeOut();
            else box->cancel();
        });
        auto begin = std::chrono::steady_clock::now();
        runProcess(FAKE, {}, {}, work_.string(), box, 600.0, std::nullopt, 0.3);
        auto took = std::chrono::steady_clock::now() - begin;
        stopper.join();
        EXPECT_LT(took, 60s);  // it would run for ten minutes or forever otherwise
        EXPECT_TRUE(box->isCancelled());
        EXPECT_EQ(box->hasTimedOut(), c.timeOut);
        ASSERT_TRUE(survivor);
        EXPECT_TRUE(survivor->waitForExit());
    }
}

// A helper that leaves the tool's process group and session (setsid) is ended with the run once
// the tool has exited and handed it to us, its subreaper; a process the run did not start, though
// handed to us the same way, is left alone.
TEST_F(ClaudeCLIAgentTest, AHelperThatLeftTheProcessGroupEndsWithTheRun) {
    testing::ScopedSubreaper subreaper;
    ASSERT_TRUE(becomeChildSubreaper());
    ASSERT_TRUE(isChildSubreaper());
    auto earlier = runShell("/bin/sh", {"-c", "setsid sleep 600 < /dev/null > /dev/null 2>&1 & echo $!"});
    const long bystanderPid = std::stol(earlier.out);
    ProcessWatch bystander(bystanderPid);
    ASSERT_TRUE(bystander.running());

    ::setenv("FAKE_CLAUDE_MODE", "setsid", 1);
    answer(ENVELOPE);
    EXPECT_EQ(ClaudeCLIAgent(config()).run(request()), parseAgentResult(REPLY));
    const long helperPid = std::stol(readFile(rec_.path() / "helper"));
    ProcessWatch helper(helperPid);
    EXPECT_FALSE(helper.running()) << "ended and reaped before the run returns";
    EXPECT_TRUE(bystander.running());

    for (long pid : {helperPid, bystanderPid})
        if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0) ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

TEST(ClaudeCLIAgent, NameAndBackEndChoice) {
    Settings settings = Settings::DEFAULT();
    settings.claude.model = "sonnet";
    auto agent = buildAgent(settings);
    EXPECT_EQ(agent->name(), "Claude Code");
    auto* cli = dynamic_cast<ClaudeCLIAgent*>(agent.get());
    ASSERT_NE(cli, nullptr);
    EXPECT_EQ(cli->cfg, settings.claude);
}

}  // namespace
}  // namespace talkweft
