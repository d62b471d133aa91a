#include <gtest/gtest.h>

#include "Platform/DesktopEntries.hpp"
#include "TestSupport.hpp"

namespace talkweft::testing {
namespace {

namespace fs = std::filesystem;
using namespace platform;

TEST(DesktopEntries, ParsesTheMainGroupOnly) {
    auto entry = parseDesktopEntry(
        "# comment\n"
        "[Desktop Entry]\r\n"
        "Type = Application\n"
        "Name[de]=Texteditor\n"
        "Name=Text\\sEditor\\\\Pro\n"
        "Name=Second name ignored\n"
        "not a key line\n"
        "NoDisplay=false\n"
        "StartupWMClass = Editor-Win\n"
        "[Desktop Action new]\n"
        "Name=New Window\n"
        "Hidden=true\n",
        "org.example.Editor");
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry, (DesktopEntry{"org.example.Editor", "Text Editor\\Pro", true, false, false, "Editor-Win"}));

    EXPECT_FALSE(parseDesktopEntry("[Other]\nName=x\n", "a")) << "no main group";
    EXPECT_FALSE(parseDesktopEntry("[Desktop Entry]\nType=Application\n", "a")) << "no name";
    EXPECT_FALSE(parseDesktopEntry("", "a"));
    auto link = parseDesktopEntry("[Desktop Entry]\nType=Link\nName=Site\nHidden=true", "a");
    ASSERT_TRUE(link);
    EXPECT_FALSE(link->application);
    EXPECT_TRUE(link->hidden);
}

TEST(DesktopEntries, IDsAndFolders) {
    EXPECT_EQ(calcDesktopEntryID("org.gnome.TextEditor.desktop"), "org.gnome.TextEditor");
    EXPECT_EQ(calcDesktopEntryID("kde/org.kde.kate.desktop"), "kde-org.kde.kate");
    EXPECT_EQ(calcDesktopEntryID("README"), "");
    EXPECT_EQ(calcDesktopEntryID(".desktop"), "");

    auto env = [](std::map<std::string, std::string> vars) {
        return [vars](const char* name) -> std::optional<std::string> {
            auto it = vars.find(name);
            return it == vars.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
    };
    EXPECT_EQ(calcApplicationDirs(env({}), "/home/u"),
              (std::vector<fs::path>{"/home/u/.local/share/applications", "/usr/local/share/applications",
                                     "/usr/share/applications"}));
    EXPECT_EQ(calcApplicationDirs(env({{"XDG_DATA_HOME", "/d"}, {"XDG_DATA_DIRS", "/a:relative::/b"}}), "/home/u"),
              (std::vector<fs::path>{"/d/applications", "/a/applications", "/b/applications"}));
}

TEST(DesktopEntries, EarlierFoldersWinAndOnlyShownAppsArePickable) {
    TempDir tmp;
    const fs::path user = tmp.path() / "user", system = tmp.path() / "system";
    auto app = [](const std::string& name, const std::string& extra = "") {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\n" + extra;
    };
    writeFile(user / "org.example.Mail.desktop", app("My Mail"));
    writeFile(user / "org.example.Gone.desktop", app("Gone", "Hidden=true\n"));
    writeFile(system / "org.example.Mail.desktop", app("Mail"));
    writeFile(system / "org.example.Gone.desktop", app("Gone"));
    writeFile(system / "org.example.Helper.desktop", app("Helper", "NoDisplay=true\n"));
    writeFile(system / "vendor/zeta.desktop", app("zeta"));
    writeFile(system / "site.desktop", "[Desktop Entry]\nType=Link\nName=Site\n");
    writeFile(system / "broken.desktop", "garbage");
    const std::vector<fs::path> dirs{user, system, tmp.path() / "missing"};

    std::vector<std::pair<std::string, std::string>> pickable;
    for (const auto& e : listPickableApps(dirs)) pickable.emplace_back(e.id, e.name);
    EXPECT_EQ(pickable, (std::vector<std::pair<std::string, std::string>>{{"org.example.Mail", "My Mail"},
                                                                           {"vendor-zeta", "zeta"}}));
    EXPECT_EQ(findAppName(dirs, "org.example.Mail"), "My Mail");
    EXPECT_EQ(findAppName(dirs, "org.example.Helper"), "Helper");
    EXPECT_EQ(findAppName(dirs, "org.example.Gone"), std::nullopt) << "hidden in the user's folder";
    EXPECT_EQ(findAppName(dirs, "com.apple.keychainaccess"), std::nullopt);
    EXPECT_EQ(findAppName(dirs, ""), std::nullopt);
}

}  // namespace
}  // namespace talkweft::testing
