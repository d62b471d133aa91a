// The installed application on a real desktop session: its first launch registers the login item,
// and after --install a talkweft:// link opened with xdg-open reaches the running instance.
#include <gtest/gtest.h>

#include "DesktopInstallSupport.hpp"
#include "DesktopSession.hpp"
#include "FieldApps.hpp"
#include "Platform/DesktopEntries.hpp"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;
using installtest::readFile;
using installtest::TALKWEFT_PROGRAM;

class InstalledApp : public DesktopSuite {};

TEST_F(InstalledApp, FirstLaunchRegistersTheLoginItemAndLinksReachTheRunningInstance) {
    TALKWEFT_NEED_DESKTOP();
    const auto& env = session()->environment();
    const fs::path autostart = fs::path(env.at("XDG_CONFIG_HOME")) / "autostart/talkweft.desktop";
    const fs::path appLog = fs::path(env.at("XDG_STATE_HOME")) / "talkweft/talkweft.log";
    ASSERT_FALSE(fs::exists(autostart));

    FieldApp field(*session(), "gtk_fields.py", {"--title", "Link target"}, "link-target");
    ASSERT_TRUE(field.waitReady());

    const pid_t app = session()->spawn({TALKWEFT_PROGRAM}, "talkweft");
    ASSERT_GT(app, 0);
    // The first launch registers the login item: an autostart entry that starts this program.
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        const auto entry = talkweft::platform::readDesktopEntryKeys(readFile(autostart));
        return entry && std::find(entry->begin(), entry->end(), talkweft::platform::DesktopEntryKey{"Exec", TALKWEFT_PROGRAM}) !=
                            entry->end();
    })) << readFile(autostart);
    ASSERT_TRUE(DesktopSession::waitFor([&] {
        return readFile(session()->runFolder() / "logs/talkweft.log").find("listening for URL commands") != std::string::npos;
    }));

    const auto installed = session()->run({TALKWEFT_PROGRAM, "--install"});
    ASSERT_EQ(installed.status, 0) << installed.out;

    // xdg-open finds the handler in mimeapps.list, runs the entry's Exec with the link, and that
    // second process hands the command to the running one.
    const auto probe = session()->run({"xdg-open", "talkweft://probe"});
    EXPECT_EQ(probe.status, 0) << probe.out;
    EXPECT_TRUE(DesktopSession::waitFor([&] { return readFile(appLog).find("probe subject=") != std::string::npos; }))
        << readFile(appLog);

    const auto dictate = session()->run({"xdg-open", "talkweft://run?mode=dictate&text=hello%20from%20a%20link"});
    EXPECT_EQ(dictate.status, 0) << dictate.out;
    EXPECT_TRUE(DesktopSession::waitFor([&] {
        const auto text = field.lastText("entry");
        return text && text->find("hello from a link") != std::string::npos;
    })) << field.lastText("entry").value_or("(no text)");

    session()->stop(app);
    EXPECT_EQ(session()->run({TALKWEFT_PROGRAM, "--uninstall"}).status, 0);
}

}  // namespace
}  // namespace desktoptest
