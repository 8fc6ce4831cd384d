#include "Payload.h"

#include <algorithm>
#include <cstring>

namespace tevra::linesim {

Payload::Payload(Kind kind, std::uint64_t seed) : kind_(kind), random_(seed) {}

void Payload::makeLine(std::uint64_t number) {
  // Eight digits (the last eight beyond 99,999,999), a space, 70 characters
  // cycling through '!'..'~' from a start that moves with the line, LF.
  std::uint64_t digits = number;
  for (int i = 7; i >= 0; --i, digits /= 10) line_[i] = static_cast<std::uint8_t>('0' + digits % 10);
  line_[8] = ' ';
  constexpr std::uint64_t printable = '~' - '!' + 1;  // 94
  for (std::size_t column = 9; column + 1 < kLineLength; ++column) {
    line_[column] = static_cast<std::uint8_t>('!' + (number % 95 + column - 9) % printable);
  }
  line_[kLineLength - 1] = '\n';
  lineNumber_ = number;
}

void Payload::next(std::uint8_t* out, std::size_t count) {
  if (kind_ == Kind::random) {
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(random_() >> 56);
    return;
  }
  while (count > 0) {
    const std::uint64_t number = offset_ / kLineLength;
    if (number != lineNumber_) makeLine(number);
    const std::size_t column = offset_ % kLineLength;
    const std::size_t piece = std::min(count, kLineLength - column);
    std::memcpy(out, line_.data() + column, piece);
    out += piece;
    count -= piece;
    offset_ += piece;
  }
}

bool parsePayloadKind(const std::string& name, Payload::Kind& kind) {
  if (name == "text") {
    kind = Payload::Kind::text;
  } else if (name == "random") {
    kind = Payload::Kind::random;
  } else {
    return false;
  }
  return true;
}

}  // namespace tevra::linesim
