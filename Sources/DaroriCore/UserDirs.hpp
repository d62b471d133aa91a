// The user's folders that the desktop names in $XDG_CONFIG_HOME/user-dirs.dirs (Documents, ...),
// which may be localised ("$HOME/Dokumente").
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace darori {

// The folder that the last valid line `<key>="<path>"` of a user-dirs.dirs text gives, e.g. key
// "XDG_DOCUMENTS_DIR". A path is absolute ("/data/docs") or starts with "$HOME/" (or is "$HOME"),
// which becomes `home`; a backslash takes the next character as is. Blanks around the key and "="
// are allowed; comment lines (#) and malformed lines are skipped. Absent when no line gives one.
std::optional<std::filesystem::path> userDirFromText(std::string_view text, std::string_view key,
                                                     const std::filesystem::path& home);

// The user's Documents folder: the one that $XDG_CONFIG_HOME/user-dirs.dirs (else
// ~/.config/user-dirs.dirs) names, else $XDG_DOCUMENTS_DIR when it holds an absolute path, else
// $HOME/Documents. The home folder is $HOME, else the password database's. Throws
// std::runtime_error when no home folder is known.
std::filesystem::path userDocumentsFolder();

}  // namespace darori
