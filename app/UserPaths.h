#pragma once

#include <filesystem>

namespace tevra {

// The per-user places of the program, from the environment as the XDG base
// directory rules say: a variable that is empty or not an absolute path
// counts as unset. An empty path means the place cannot be determined.

// ${XDG_CONFIG_HOME:-$HOME/.config}/Tevra Laboratory/Orbel Software
std::filesystem::path settingsFolder();

// settingsFolder()/Terminal.conf
std::filesystem::path settingsFilePath();

// $XDG_RUNTIME_DIR, else settingsFolder(): where the single-instance lock lives.
std::filesystem::path runtimeFolder();

// Creates `folder` and any missing parents with mode 0700 (the user's alone).
// True when `folder` is a directory afterwards.
bool makePrivateFolder(const std::filesystem::path& folder);

}  // namespace tevra
