#include "TalkweftCore/Shell.hpp"

#include <cstdlib>
#include <locale>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

#include "TalkweftCore/ChildProcess.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "";
}

}  // namespace

const std::string& SHELL_PATH() {
    static const std::string path = homeFolder() + "/.local/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    return path;
}

std::map<std::string, std::string> calcShellEnv() {
    auto env = currentEnvironment();
    auto old = env.find("PATH");
    std::string oldPath = old == env.end() ? "" : old->second;
    env["PATH"] = SHELL_PATH() + ":" + oldPath;
    return env;
}

std::string formatSeconds(double seconds) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << seconds;
    return s.str();
}

ShellResult runShell(const std::string& path, const std::vector<std::string>& args,
                     const std::optional<std::string>& cwd, const std::optional<std::string>& stdinText,
                     double timeoutSeconds, const std::vector<std::string>& unsetVariables) {
    ChildOptions opts;
    opts.path = path;
    opts.args = args;
    opts.env = calcShellEnv();
    for (const auto& name : unsetVariables) opts.env.erase(name);
    opts.cwd = cwd;
    opts.stdinPipe = true;
    opts.stdinText = stdinText;
    auto child = ChildProcess::start(opts);
    ChildOutcome outcome = child->collect(timeoutSeconds, TERMINATE_GRACE_SECONDS);
    if (outcome.timedOut)
        throw ShellTimeoutError(path + " timed out after " + formatSeconds(timeoutSeconds) + " seconds");
    return ShellResult{outcome.status, unicode::repairUTF8(outcome.out), unicode::repairUTF8(outcome.err)};
}

}  // namespace talkweft
