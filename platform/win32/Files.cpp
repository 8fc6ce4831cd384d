#include <windows.h>

#include <algorithm>
#include <limits>

#include "core/Platform.h"

// Handles opened here are binary by nature: ReadFile and WriteFile move the
// bytes as they are, with no CR LF translation and no stop at 0x1A.
namespace tevra {

namespace {

std::error_code lastError() { return {static_cast<int>(GetLastError()), std::system_category()}; }

// The largest transfer one ReadFile or WriteFile call takes.
DWORD transferSize(std::size_t count) {
  return static_cast<DWORD>(std::min<std::size_t>(count, std::numeric_limits<DWORD>::max()));
}

class Win32InputFile : public InputFile {
 public:
  explicit Win32InputFile(HANDLE file) : file_(file) {}
  ~Win32InputFile() override { CloseHandle(file_); }
  Win32InputFile(const Win32InputFile&) = delete;
  Win32InputFile& operator=(const Win32InputFile&) = delete;

  std::size_t read(std::uint8_t* buffer, std::size_t capacity, std::error_code& error) override {
    DWORD count = 0;
    if (!ReadFile(file_, buffer, transferSize(capacity), &count, nullptr)) {
      const DWORD reason = GetLastError();
      if (reason == ERROR_HANDLE_EOF || reason == ERROR_BROKEN_PIPE) return 0;  // the end, not a fault
      error = {static_cast<int>(reason), std::system_category()};
      return 0;
    }
    return count;
  }

 private:
  HANDLE file_;
};

}  // namespace

AppendResult appendToFile(const std::string& path, const std::uint8_t* bytes, std::size_t count) {
  // Append access alone: every write lands at the end of the file.
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  AppendResult result{true, {}};
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, transferSize(count), &written, nullptr)) {
      result.error = lastError();
      break;
    }
    if (written == 0) {
      result.error = {ERROR_DISK_FULL, std::system_category()};
      break;
    }
    bytes += written;
    count -= written;
  }
  if (!CloseHandle(file) && !result.error) result.error = lastError();
  return result;
}

std::unique_ptr<InputFile> openInputFile(const std::string& path) {
  // No sharing: no other program can open the file while it is being sent.
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32InputFile>(file);
}

}  // namespace tevra
