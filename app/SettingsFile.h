#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tevra {

// The settings file on disk, read and written whole; shared by the program's
// store and the line simulator, so both treat the user's file alike.

enum class SettingsFileState { Missing, Read, Unreadable };

// Reads the whole of `file` into `contents` when it is a regular file of
// sensible size (Read; `contents` empty otherwise). Never opens anything
// else: a FIFO would block, a device could react to being opened.
SettingsFileState readSettingsFile(const std::filesystem::path& file, std::string& contents);

// Replaces `file` with `bytes` at once: readers see the old or the new file,
// never half of one. The new file is the user's alone (0600) and missing
// folders are made with mode 0700. A symbolic link is followed, so a linked
// settings file stays linked. False on failure, with errno set.
bool writeSettingsFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace tevra
