// talkweft --install and --uninstall as a user runs them: the real program on a fresh home folder,
// its files read back, and the folder compared with what it was before.
#include <gtest/gtest.h>

#include "DesktopInstallSupport.hpp"
#include "Platform/DesktopEntries.hpp"
#include "Platform/Linux/MimeApps.hpp"

namespace installtest {
namespace {

struct StartingHome {
    const char* name;
    bool xdgVariables;  // XDG_DATA_HOME and XDG_CONFIG_HOME set (else the defaults below HOME)
    std::map<std::string, std::string> files;  // below the home folder
};

TEST(DesktopInstall, InstallThenUninstallLeavesTheHomeFolderAsItWas) {
    const StartingHome homes[] = {
        {"fresh home", false, {}},
        {"fresh home, XDG variables", true, {}},
        {"lived-in home",
         false,
         {{".config/mimeapps.list", "# my defaults\n[Added Associations]\ntext/plain=gedit.desktop;\n\n[Default Applications]\n"
                                   "text/html=firefox.desktop;\nx-scheme-handler/talkweft=old.desktop;"},
          {".local/share/applications/gedit.desktop", "[Desktop Entry]\nName=Gedit\n"},
          {".local/share/icons/hicolor/48x48/apps/gedit.png", "png"}}},
    };
    for (const auto& h : homes) {
        SCOPED_TRACE(h.name);
        TempFolder tmp;
        const fs::path home = tmp.path() / "home";
        fs::create_directories(home);
        for (const auto& [file, bytes] : h.files) writeFile(home / file, bytes);
        const fs::path dataHome = h.xdgVariables ? tmp.path() / "data" : home / ".local/share";
        const fs::path configHome = h.xdgVariables ? tmp.path() / "config" : home / ".config";
        std::map<std::string, std::optional<std::string>> env = {{"HOME", home.string()}, {"XDG_DATA_HOME", std::nullopt},
                                                                 {"XDG_CONFIG_HOME", std::nullopt}};
        if (h.xdgVariables) {
            env["XDG_DATA_HOME"] = dataHome.string();
            env["XDG_CONFIG_HOME"] = configHome.string();
        }
        const auto before = listTree(tmp.path());
        const std::string mimeBefore = readFile(configHome / "mimeapps.list");

        const auto installed = runProgram({TALKWEFT_PROGRAM, "--install"}, env);
        ASSERT_EQ(installed.status, 0) << installed.out;
        const fs::path entryFile = dataHome / "applications/talkweft.desktop";
        EXPECT_NE(installed.out.find(entryFile.string()), std::string::npos) << installed.out;
        const auto keys = talkweft::platform::readDesktopEntryKeys(readFile(entryFile));
        ASSERT_TRUE(keys);
        std::map<std::string, std::string> values;
        for (const auto& [k, v] : *keys) values[k] = v;
        EXPECT_EQ(values["Name"], "Talkweft");
        EXPECT_EQ(values["Exec"], TALKWEFT_PROGRAM + " %u");
        EXPECT_EQ(values["MimeType"], "x-scheme-handler/talkweft;");
        EXPECT_EQ(values["Icon"], "talkweft");
        EXPECT_EQ(values["Terminal"], "false");
        const std::string icon = readFile(dataHome / "icons/hicolor/scalable/apps/talkweft.svg");
        EXPECT_NE(icon.find("<svg"), std::string::npos);
        const std::string mime = readFile(configHome / "mimeapps.list");
        EXPECT_EQ(talkweft::platform::linuxdesktop::readDefaultApplications(mime, "x-scheme-handler/talkweft"),
                  (mimeBefore.empty() ? std::vector<std::string>{"talkweft.desktop"}
                                      : std::vector<std::string>{"talkweft.desktop", "old.desktop"}));
        if (!mimeBefore.empty()) {
            EXPECT_NE(mime.find("text/plain=gedit.desktop;"), std::string::npos);
        }

        // Installing again is harmless: the same files, the handler listed once.
        const auto afterFirst = listTree(tmp.path());
        const auto again = runProgram({TALKWEFT_PROGRAM, "--install"}, env);
        ASSERT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(listTree(tmp.path()), afterFirst);
        EXPECT_EQ(readFile(configHome / "mimeapps.list"), mime);

        // The first launch registered the login item: uninstalling takes it out too.
        writeFile(configHome / "autostart/talkweft.desktop", "[Desktop Entry]\nType=Application\nExec=" + TALKWEFT_PROGRAM + "\n");

        const auto removed = runProgram({TALKWEFT_PROGRAM, "--uninstall"}, env);
        ASSERT_EQ(removed.status, 0) << removed.out;
        EXPECT_NE(removed.out.find("no longer starts at login"), std::string::npos) << removed.out;
        EXPECT_EQ(listTree(tmp.path()), before);
        EXPECT_EQ(readFile(configHome / "mimeapps.list"), mimeBefore);

        const auto nothing = runProgram({TALKWEFT_PROGRAM, "--uninstall"}, env);
        EXPECT_EQ(nothing.status, 0) << nothing.out;
        EXPECT_NE(nothing.out.find("nothing to remove"), std::string::npos) << nothing.out;
        EXPECT_EQ(listTree(tmp.path()), before);
    }
}

// A step that fails part-way (the applications folder is a file) exits 1 with the system's reason
// and takes back the steps before it.
TEST(DesktopInstall, FailedInstallSaysWhyAndLeavesNothingBehind) {
    TempFolder tmp;
    const fs::path home = tmp.path() / "home";
    writeFile(home / ".local/share/applications", "not a folder");
    const std::string mimeBefore = "[Default Applications]\ntext/html=firefox.desktop;\n";
    writeFile(home / ".config/mimeapps.list", mimeBefore);
    const auto before = listTree(tmp.path());
    const std::map<std::string, std::optional<std::string>> env = {
        {"HOME", home.string()}, {"XDG_DATA_HOME", std::nullopt}, {"XDG_CONFIG_HOME", std::nullopt}};

    const auto result = runProgram({TALKWEFT_PROGRAM, "--install"}, env);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.out.find("install failed"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Not a directory"), std::string::npos) << result.out;
    EXPECT_EQ(listTree(tmp.path()), before);
    EXPECT_EQ(readFile(home / ".config/mimeapps.list"), mimeBefore);

    EXPECT_EQ(runProgram({TALKWEFT_PROGRAM, "--install", "extra"}, env).status, 2);
}

}  // namespace
}  // namespace installtest
