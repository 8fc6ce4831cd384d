#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/LineParameters.h"

namespace tevra {

// The serial line as the core sees it. The engine in serial/ implements it.
class SerialLink {
 public:
  virtual ~SerialLink() = default;
  // Opens (closing first if open). False on failure; failureReason() then says why.
  virtual bool open(const LineParameters& line, const std::string& devicePath) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // True when the line took the bytes: they go out in order, off the caller's
  // thread; false when the port is closed or its output queue is full.
  virtual bool write(const std::uint8_t* bytes, std::size_t count) = 0;
  // Why the last open failed, e.g. "/dev/ttyUSB0: Permission denied".
  virtual std::string failureReason() const = 0;
};

}  // namespace tevra
