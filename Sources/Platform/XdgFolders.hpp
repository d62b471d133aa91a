// The XDG base folders of a user session: the environment they come from and the folders it names.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace talkweft::platform {

// Reads an environment variable (absent when unset); tests pass their own.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// This process's environment.
std::optional<std::string> processEnvironment(const char* name);

// The user's home folder: $HOME when it is an absolute path, else the password database's, else "/".
std::filesystem::path processHome();

// An XDG base folder: the variable `name` when it holds an absolute path, else `fallback`.
std::filesystem::path calcXdgHome(const EnvLookup& env, const char* name, const std::filesystem::path& fallback);

// The XDG data folders in order of precedence: $XDG_DATA_HOME (else ~/.local/share), then each of
// $XDG_DATA_DIRS (else /usr/local/share:/usr/share). Relative entries are ignored.
std::vector<std::filesystem::path> calcXdgDataDirs(const EnvLookup& env, const std::filesystem::path& home);

}  // namespace talkweft::platform
