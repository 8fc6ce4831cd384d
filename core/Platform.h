#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

// What the core needs from the operating system. platform/posix/ and
// platform/win32/ implement it; the rest of core/ stays free of OS headers.
// Files are always raw bytes: no line-end translation, no end-of-file byte.
namespace tevra {

struct AppendResult {
  bool opened = false;   // false: the file could not be opened and nothing was written
  std::error_code error;  // once opened: why a write or the close failed, if one did
};

// Appends all `count` bytes to the file at `path`, creating it when missing and
// never truncating it. Other programs may read the file while it is open, not write it.
AppendResult appendToFile(const std::string& path, const std::uint8_t* bytes, std::size_t count);

// A file opened for reading, kept from writers while it is open.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Up to `capacity` bytes into `buffer`: their count, 0 at the end of the
  // file. A failed read returns 0 and sets `error`.
  virtual std::size_t read(std::uint8_t* buffer, std::size_t capacity, std::error_code& error) = 0;
};

// Null when the file cannot be opened or another program holds it for writing.
// Opening never waits (a FIFO without a writer must not hang the caller).
std::unique_ptr<InputFile> openInputFile(const std::string& path);

// The device a port name stands for when the settings name none:
// `portNumber` is 1 for COM1 and lies in 1..12.
std::string defaultPortDevice(int portNumber);

}  // namespace tevra
