#include "TalkweftCore/ClaudeCLIAgent.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <stop_token>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "TalkweftCore/Prompt.hpp"
#include "TalkweftCore/Task.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

constexpr std::size_t STDERR_TAIL_CHARS = 400;
constexpr std::size_t BAD_OUTPUT_CHARS = 300;
constexpr int MAX_OUTPUT_NESTING = 512;

std::string trimBlanksAndTabs(std::string_view s) {
    auto begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return "";
    auto end = s.find_last_not_of(" \t");
    return std::string(s.substr(begin, end - begin + 1));
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string homeOf(const std::string& user) {
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home && *home) return home;
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
        return "";
    }
    const passwd* pw = ::getpwnam(user.c_str());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

}  // namespace

void ProcessBox::set(std::shared_ptr<ChildProcess> started) {
    std::lock_guard guard(lock);
    proc = std::move(started);
    if (cancelled && proc) proc->terminate();
}

void ProcessBox::cancel() {
    std::lock_guard guard(lock);
    cancelled = true;
    if (proc) proc->terminate();
}

void ProcessBox::timeOut() {
    std::lock_guard guard(lock);
    cancelled = true;
    timedOut = true;
    if (proc) proc->terminate();
}

bool ProcessBox::isCancelled() const {
    std::lock_guard guard(lock);
    return cancelled;
}

bool ProcessBox::hasTimedOut() const {
    std::lock_guard guard(lock);
    return timedOut;
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    auto slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home = homeOf(user);
    if (home.empty()) return path;
    return withoutTrailingSlash(home) + (slash == std::string::npos ? "" : path.substr(slash));
}

bool promptNeedsStandardInput(std::string_view userMessage) {
    return userMessage.size() > MAX_PROMPT_ARGUMENT_BYTES || userMessage.find('\0') != std::string_view::npos;
}

std::vector<std::string> buildClaudeArgs(const ClaudeCLIConfig& cfg, const AgentRequest& req) {
    return buildClaudeArgs(cfg, req, buildUserPrompt(req));
}

std::vector<std::string> buildClaudeArgs(const ClaudeCLIConfig& cfg, const AgentRequest& req,
                                         const std::string& userMessage) {
    std::vector<std::string> args{"-p"};
    if (!promptNeedsStandardInput(userMessage)) args.push_back(userMessage);
    args.insert(args.end(), {"--output-format", "json", "--no-session-persistence", "--permission-mode", "dontAsk",
                             "--append-system-prompt", buildSystemPrompt(cfg.connectors, cfg.connectorWrites, req.standing),
                             "--json-schema", std::string(RESULT_SCHEMA)});
    args.push_back("--tools");
    args.push_back(cfg.tools + (cfg.connectors ? ",ToolSearch" : ""));

    std::vector<std::string> allowed{cfg.allowedTools};
    if (cfg.connectors) {
        allowed.push_back("ToolSearch");
        allowed.push_back(cfg.connectorTools);
        if (cfg.connectorWrites)
            for (const auto& server : CONNECTOR_SERVERS()) allowed.push_back(server);
    }
    std::string allowedValue;
    for (const auto& item : allowed) {
        std::string trimmed = trimBlanksAndTabs(item);
        if (trimmed.empty()) continue;
        if (!allowedValue.empty()) allowedValue += ' ';
        allowedValue += trimmed;
    }
    if (!allowedValue.empty()) {
        args.push_back("--allowedTools");
        args.push_back(allowedValue);
    }
    if (!cfg.connectors) args.push_back("--strict-mcp-config");
    if (!cfg.model.empty()) {
        args.push_back("--model");
        args.push_back(cfg.model);
    }

    std::vector<std::string> dirs;
    if (req.historyDir) dirs.push_back(withoutTrailingSlash(req.historyDir->string()));
    if (req.context.screenshotPath) {
        // The last component goes even when the path ends in "/" (parent_path would only drop the slash).
        std::string folder =
            std::filesystem::path(withoutTrailingSlash(*req.context.screenshotPath)).parent_path().string();
        if (!folder.empty()) dirs.push_back(withoutTrailingSlash(folder));
    }
    const std::string workDir = withoutTrailingSlash(req.workDir.string());
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        bool seen = false;
        for (std::size_t k = 0; k < i; ++k) seen = seen || dirs[k] == dirs[i];
        if (seen || dirs[i] == workDir) continue;
        args.push_back("--add-dir");
        args.push_back(dirs[i]);
    }

    std::string_view extra(cfg.extraArgs);
    while (!extra.empty()) {
        auto blank = extra.find(' ');
        auto piece = extra.substr(0, blank);
        if (!piece.empty()) args.emplace_back(piece);
        if (blank == std::string_view::npos) break;
        extra.remove_prefix(blank + 1);
    }
    return args;
}

std::map<std::string, std::string> buildClaudeEnv(const ClaudeCLIConfig& cfg) {
    if (cfg.connectors) return {{"ENABLE_TOOL_SEARCH", "true"}};
    return {};
}

AgentResult parseClaudeOutput(std::string_view out) {
    using Json = nlohmann::ordered_json;
    // Nesting is bounded: writing a deeply nested value back as text recurses once per level.
    bool tooDeep = false;
    Json envelope = Json::parse(
        out,
        [&tooDeep](int depth, Json::parse_event_t, Json&) {
            if (depth > MAX_OUTPUT_NESTING) tooDeep = true;
            return !tooDeep;
        },
        false);
    if (tooDeep || envelope.is_discarded() || !envelope.is_object())
        throw AgentError::badOutput(unicode::prefixCharacters(out, BAD_OUTPUT_CHARS));

    auto isError = envelope.find("is_error");
    if (isError != envelope.end() && isError->is_boolean() && isError->get<bool>()) {
        auto result = envelope.find("result");
        if (result != envelope.end() && result->is_string()) throw AgentError::failed(result->get<std::string>());
        auto subtype = envelope.find("subtype");
        if (subtype != envelope.end() && subtype->is_string()) throw AgentError::failed(subtype->get<std::string>());
        throw AgentError::failed("unknown error");
    }
    auto structured = envelope.find("structured_output");
    if (structured != envelope.end() && (structured->is_object() || structured->is_array()))
        return parseAgentResult(structured->dump(-1, ' ', false, Json::error_handler_t::replace));
    auto result = envelope.find("result");
    return parseAgentResult(result != envelope.end() && result->is_string() ? result->get<std::string>() : "");
}

ShellResult runProcess(const std::string& path, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, const std::string& cwd,
                       const std::shared_ptr<ProcessBox>& box, double timeout,
                       const std::optional<std::string>& stdinText, double graceSeconds) {
    ChildOptions opts;
    opts.path = path;
    opts.args = args;
    opts.env = calcShellEnv();
    for (const auto& [name, value] : env) opts.env[name] = value;
    opts.cwd = cwd;
    opts.stdinPipe = stdinText.has_value();
    opts.stdinText = stdinText;
    opts.endDescendants = true;
    auto child = ChildProcess::start(opts);
    box->set(child);
    ChildOutcome outcome = child->collect(timeout, graceSeconds);
    if (outcome.timedOut) box->timeOut();
    return ShellResult{outcome.status, unicode::repairUTF8(outcome.out), unicode::repairUTF8(outcome.err)};
}

std::string ClaudeCLIAgent::name() const { return "Claude Code"; }

AgentResult ClaudeCLIAgent::run(const AgentRequest& request) {
    const std::string path = expandTilde(cfg.path);
    if (!isExecutableFile(path)) throw AgentError::launch("no executable at " + path);

    const std::string userMessage = buildUserPrompt(request);
    const auto args = buildClaudeArgs(cfg, request, userMessage);
    std::optional<std::string> stdinText;
    if (promptNeedsStandardInput(userMessage)) stdinText = userMessage;

    auto box = std::make_shared<ProcessBox>();
    ShellResult result;
    {
        // Runs at once when the task is already cancelled; the process then ends as soon as it starts.
        std::stop_callback onCancel(currentStopToken(), [box] { box->cancel(); });
        result = runProcess(path, args, buildClaudeEnv(cfg), request.workDir.string(), box, cfg.timeout, stdinText);
    }

    if (box->hasTimedOut())
        throw AgentError::failed("timed out after " + formatSeconds(std::max(0.0, cfg.timeout)) + " seconds");
    if (box->isCancelled()) throw CancellationError();
    if (!result.out.empty()) return parseClaudeOutput(result.out);
    if (!result.err.empty()) throw AgentError::failed(unicode::suffixCharacters(result.err, STDERR_TAIL_CHARS));
    throw AgentError::failed("exit " + std::to_string(result.status));
}

std::unique_ptr<AgentStrategy> buildAgent(const Settings& settings) {
    return std::make_unique<ClaudeCLIAgent>(settings.claude);
}

}  // namespace talkweft
