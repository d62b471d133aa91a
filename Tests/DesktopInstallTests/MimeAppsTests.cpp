// The edits of mimeapps.list that make talkweft.desktop the handler of talkweft:// links and take
// it out again, the desktop-entry writer against its reader, and the quoting of Exec arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/DesktopEntries.hpp"
#include "Platform/Linux/DesktopInstall.hpp"
#include "Platform/Linux/MimeApps.hpp"

namespace {

namespace lx = talkweft::platform::linuxdesktop;
namespace pf = talkweft::platform;

constexpr const char* TYPE = "x-scheme-handler/talkweft";
constexpr const char* OURS = "talkweft.desktop";

struct MimeAppsCase {
    const char* name;
    std::string before;
    std::string added;  // the text after addDefaultApplication
    bool changed;
    bool addedGroup;
    bool roundTrip;  // removing gives `before` back
};

TEST(MimeApps, AddingAndRemovingTheHandlerKeepsEveryOtherByte) {
    const std::string line = std::string(TYPE) + "=" + OURS + ";";
    const MimeAppsCase cases[] = {
        {"no file", "", "[Default Applications]\n" + line + "\n", true, true, true},
        {"other handlers", "[Default Applications]\ntext/html=firefox.desktop;\n",
         "[Default Applications]\n" + line + "\ntext/html=firefox.desktop;\n", true, false, true},
        {"another app has the scheme", "[Default Applications]\nx-scheme-handler/talkweft = other.desktop;\n",
         "[Default Applications]\nx-scheme-handler/talkweft = talkweft.desktop;other.desktop;\n", true, false, true},
        {"our line already there", "[Default Applications]\n" + line + "\n", "[Default Applications]\n" + line + "\n", false,
         false, false},
        {"other groups only", "[Added Associations]\ntext/plain=gedit.desktop;\n",
         "[Added Associations]\ntext/plain=gedit.desktop;\n[Default Applications]\n" + line + "\n", true, true, true},
        {"other groups, no final line break", "[Added Associations]\ntext/plain=gedit.desktop;",
         "[Added Associations]\ntext/plain=gedit.desktop;\n[Default Applications]\n" + line, true, true, true},
        {"group header is the last line", "# mine\n[Default Applications]", "# mine\n[Default Applications]\n" + line, true,
         false, true},
        {"our scheme in another group", "[Added Associations]\nx-scheme-handler/talkweft=foo.desktop;\n\n[Default Applications]\ntext/html=f.desktop;\n",
         "[Added Associations]\nx-scheme-handler/talkweft=foo.desktop;\n\n[Default Applications]\n" + line +
             "\ntext/html=f.desktop;\n",
         true, false, true},
        {"CRLF lines and comments", "# mine\r\n[Default Applications]\r\n#x-scheme-handler/talkweft=x;\r\ntext/html=f.desktop;\r\n",
         "# mine\r\n[Default Applications]\r\n" + line + "\n#x-scheme-handler/talkweft=x;\r\ntext/html=f.desktop;\r\n", true,
         false, true},
        {"ours listed second", "[Default Applications]\nx-scheme-handler/talkweft=other.desktop;talkweft.desktop;\n",
         "[Default Applications]\nx-scheme-handler/talkweft=talkweft.desktop;other.desktop;talkweft.desktop;\n", true, false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto added = lx::addDefaultApplication(c.before, TYPE, OURS);
        EXPECT_EQ(added.text, c.added);
        EXPECT_EQ(added.changed, c.changed);
        EXPECT_EQ(added.addedGroup, c.addedGroup);
        ASSERT_FALSE(lx::readDefaultApplications(added.text, TYPE).empty());
        EXPECT_EQ(lx::readDefaultApplications(added.text, TYPE).front(), OURS);
        EXPECT_EQ(lx::addDefaultApplication(added.text, TYPE, OURS).changed, false) << "adding twice changes nothing";
        if (c.roundTrip) {
            EXPECT_EQ(lx::removeDefaultApplication(added.text, TYPE, OURS, added.addedGroup).text, c.before);
        }
    }
}

TEST(MimeApps, RemovingKeepsWhatTheUserAddedSinceAndOtherHandlers) {
    // A group we added that the user has put a line into since stays.
    EXPECT_EQ(lx::removeDefaultApplication("[Default Applications]\nx-scheme-handler/talkweft=talkweft.desktop;\ntext/html=f.desktop;\n",
                                           TYPE, OURS, true)
                  .text,
              "[Default Applications]\ntext/html=f.desktop;\n");
    // A group that was there before keeps its header even when it is left empty.
    EXPECT_EQ(lx::removeDefaultApplication("[Default Applications]\nx-scheme-handler/talkweft=talkweft.desktop;\n", TYPE, OURS, false).text,
              "[Default Applications]\n");
    // Another app made the default since: not ours to remove.
    const std::string other = "[Default Applications]\nx-scheme-handler/talkweft=other.desktop;talkweft.desktop;\n";
    const auto kept = lx::removeDefaultApplication(other, TYPE, OURS, true);
    EXPECT_FALSE(kept.changed);
    EXPECT_EQ(kept.text, other);
    // Ours written without the final ";" by hand still goes.
    EXPECT_EQ(lx::removeDefaultApplication("[Default Applications]\nx-scheme-handler/talkweft=talkweft.desktop\na=b;\n", TYPE, OURS, false).text,
              "[Default Applications]\na=b;\n");
}

TEST(DesktopEntryWriter, TheReaderGetsBackEveryValue) {
    const std::vector<pf::DesktopEntryKey> keys = {
        {"Type", "Application"},
        {"Name", " Talk weft "},
        {"Comment", "line one\nline two\ttabbed\r"},
        {"Exec", "\"/opt/a b/talkweft\" %u"},
        {"X-Path", "C:\\new;D:\\tab;"},
        {"Empty", ""},
    };
    const std::string text = pf::formatDesktopEntry(keys);
    EXPECT_EQ(pf::readDesktopEntryKeys(text), keys) << text;
    const auto entry = pf::parseDesktopEntry(text, "talkweft");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, " Talk weft ");
    EXPECT_TRUE(entry->application);
}

TEST(DesktopEntryWriter, ExecArgumentsAreQuotedWhereNeeded) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/talkweft", "/usr/bin/talkweft"},
        {"/opt/my apps/talkweft", "\"/opt/my apps/talkweft\""},
        {"/a/$x\"b`c\\d", "\"/a/\\$x\\\"b\\`c\\\\d\""},
        {"/a/100%/talkweft", "/a/100%%/talkweft"},
        {"/a/it's", "\"/a/it's\""},
    };
    for (const auto& [argument, quoted] : cases) EXPECT_EQ(lx::quoteExecArgument(argument), quoted) << argument;
}

}  // namespace
