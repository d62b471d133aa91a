// The user's choice of default applications: the [Default Applications] group of mimeapps.list
// ("x-scheme-handler/talkweft=talkweft.desktop;other.desktop;"). Edits touch one line and keep
// every other byte of the file, so that taking an entry out again gives back the file as it was.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace talkweft::platform::linuxdesktop {

inline constexpr std::string_view DEFAULT_APPLICATIONS_GROUP = "[Default Applications]";

// The applications listed for `mimeType` in the first [Default Applications] group of `text`, in
// order (the first is the default); empty when the type is not listed. Blanks around entries are
// trimmed, empty entries skipped.
std::vector<std::string> readDefaultApplications(std::string_view text, std::string_view mimeType);

struct MimeAppsEdit {
    std::string text;
    bool changed = false;
    bool addedGroup = false;  // the [Default Applications] group was not there and was added
};

// Makes `desktopID` the default for `mimeType`: when it is not already the first entry of the
// type's line in the first [Default Applications] group, "<desktopID>;" is put at the start of
// that line's value; a missing line is added right after the group's header; a missing group is
// added at the end of the text. Nothing else changes.
MimeAppsEdit addDefaultApplication(std::string_view text, std::string_view mimeType, std::string_view desktopID);

// Undoes addDefaultApplication: takes `desktopID` out when it is the first entry of the type's
// line (the line goes when nothing else is left in it); with `removeEmptyGroup`, the first
// [Default Applications] group's header goes too when no line is left in that group. A line's end
// goes with it, or, for a last line without one, the line break before it.
MimeAppsEdit removeDefaultApplication(std::string_view text, std::string_view mimeType, std::string_view desktopID,
                                      bool removeEmptyGroup);

}  // namespace talkweft::platform::linuxdesktop
