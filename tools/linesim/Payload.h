#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace tevra::linesim {

// The bytes of a flood, produced in order, piece by piece.
//  text:   lines of 79 printable characters and LF, each starting with its
//          8-digit line number (the same lines as the peer comparison's payload)
//  random: bytes from a seeded generator (includes XON/XOFF and CR)
class Payload {
 public:
  enum class Kind { text, random };
  Payload(Kind kind, std::uint64_t seed);

  // Fills `out` with the next `count` bytes.
  void next(std::uint8_t* out, std::size_t count);

  static constexpr std::size_t kLineLength = 80;

 private:
  void makeLine(std::uint64_t number);

  Kind kind_;
  std::mt19937_64 random_;
  std::uint64_t offset_ = 0;
  std::array<std::uint8_t, kLineLength> line_{};
  std::uint64_t lineNumber_ = ~std::uint64_t{0};
};

// "text" or "random"; false when neither.
bool parsePayloadKind(const std::string& name, Payload::Kind& kind);

}  // namespace tevra::linesim
