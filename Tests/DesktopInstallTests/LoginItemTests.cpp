// The login item as an XDG autostart entry: written, read back, switched off by the desktop,
// removed, and its failures reported with the system's reason.
#include <gtest/gtest.h>

#include "DesktopInstallSupport.hpp"
#include "Platform/DesktopEntries.hpp"
#include "Platform/Linux/AutostartLoginItem.hpp"

namespace installtest {
namespace {

namespace lx = talkweft::platform::linuxdesktop;

lx::DesktopLocations locationsIn(const fs::path& folder) {
    lx::DesktopLocations at;
    at.dataHome = folder / "data";
    at.configHome = folder / "config";
    at.executable = "/opt/Talk weft/bin/talkweft";
    return at;
}

TEST(AutostartLoginItem, WrittenReadBackAndRemoved) {
    TempFolder tmp;
    lx::AutostartLoginItem item(locationsIn(tmp.path()));
    EXPECT_FALSE(item.isRegistered());
    item.registerApp();
    const fs::path entry = tmp.path() / "config/autostart/talkweft.desktop";
    EXPECT_EQ(item.entry(), entry);
    EXPECT_TRUE(item.isRegistered());
    // Only the entry: no temporary file left beside it.
    EXPECT_EQ(listTree(tmp.path() / "config/autostart"), std::vector<std::string>{"talkweft.desktop"});
    const auto keys = talkweft::platform::readDesktopEntryKeys(readFile(entry));
    ASSERT_TRUE(keys);
    std::map<std::string, std::string> values;
    for (const auto& [k, v] : *keys) values[k] = v;
    EXPECT_EQ(values["Exec"], "\"/opt/Talk weft/bin/talkweft\"");
    EXPECT_EQ(values["Type"], "Application");
    EXPECT_TRUE(talkweft::platform::parseDesktopEntry(readFile(entry), "talkweft"));

    item.registerApp();  // again: the same single file
    EXPECT_EQ(listTree(tmp.path() / "config/autostart"), std::vector<std::string>{"talkweft.desktop"});

    // A desktop switches an autostart entry off with Hidden=true.
    writeFile(entry, readFile(entry) + "Hidden=true\n");
    EXPECT_FALSE(item.isRegistered());

    item.unregisterApp();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(item.isRegistered());
    item.unregisterApp();  // nothing to remove is no failure
}

TEST(AutostartLoginItem, FailuresCarryTheSystemsReason) {
    TempFolder tmp;
    // The configuration folder is a file: nothing can be written below it.
    writeFile(tmp.path() / "config", "not a folder");
    lx::AutostartLoginItem blocked(locationsIn(tmp.path()));
    try {
        blocked.registerApp();
        ADD_FAILURE() << "registerApp did not throw";
    } catch (const talkweft::platform::LoginItemError& e) {
        EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(blocked.isRegistered());

    TempFolder other;
    fs::create_directories(other.path() / "config/autostart/talkweft.desktop/inside");
    lx::AutostartLoginItem folderInTheWay(locationsIn(other.path()));
    try {
        folderInTheWay.unregisterApp();
        ADD_FAILURE() << "unregisterApp did not throw";
    } catch (const talkweft::platform::LoginItemError& e) {
        EXPECT_NE(std::string(e.what()).find("talkweft.desktop"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace installtest
