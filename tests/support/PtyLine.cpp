#include "tests/support/PtyLine.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>

namespace tevra::testing {

PtyLine::PtyLine() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char name[128] = {};
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    closeMaster();
    throw std::runtime_error("no pseudo-terminal available");
  }
  slavePath_ = name;
  // Raw until someone sets it otherwise: nothing echoed or rewritten while no
  // one holds the slave. The master's termios calls act on the slave's side.
  termios raw{};
  if (::tcgetattr(master_, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::tcsetattr(master_, TCSANOW, &raw);
  }
}

PtyLine::~PtyLine() { closeMaster(); }

void PtyLine::closeMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

bool PtyLine::send(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds patience) const {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!waitFor(POLLOUT, patience)) {
      return false;
    }
  }
  return true;
}

std::size_t PtyLine::sendUntilFull(std::size_t offset, std::size_t limit, std::chrono::milliseconds quiet) const {
  std::size_t sent = 0;
  while (sent < limit) {
    const auto chunk = linePattern(4096, offset + sent);
    const ssize_t n = ::write(master_, chunk.data(), chunk.size());
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    } else if (!waitFor(POLLOUT, quiet)) {
      break;
    }
  }
  return sent;
}

std::vector<std::uint8_t> PtyLine::receive(std::size_t count, std::chrono::milliseconds patience) const {
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[4096];
  while (bytes.size() < count) {
    const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (n > 0) {
      bytes.insert(bytes.end(), chunk, chunk + n);
    } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || n == 0) {
      break;
    } else if (!waitFor(POLLIN, patience)) {
      break;
    }
  }
  return bytes;
}

bool PtyLine::waitFor(short events, std::chrono::milliseconds patience) const {
  pollfd watched{master_, events, 0};
  return ::poll(&watched, 1, static_cast<int>(patience.count())) > 0;
}

void PtyLine::write(const std::string& bytes) {
  std::size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    const ssize_t wrote = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
}

std::string PtyLine::readUntil(const std::string& expected, std::chrono::milliseconds patience) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (received.find(expected) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{master_, POLLIN, 0};
    if (::poll(&readable, 1, 50) <= 0 || !(readable.revents & POLLIN)) {
      // No one has the line open (a hang-up): wait for the program to open it.
      std::this_thread::sleep_for(20ms);
      continue;
    }
    char buffer[512];
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
  }
  return received;
}

std::string PtyLine::drain(std::chrono::milliseconds quiet) {
  return readUntil(std::string(1, '\0') + "never expected" + std::string(1, '\0'), quiet);
}

void PtyLine::setStartCharacter(unsigned char character) {
  termios state{};
  ::tcgetattr(master_, &state);
  state.c_cc[VSTART] = character;
  ::tcsetattr(master_, TCSANOW, &state);
}

unsigned char PtyLine::startCharacter() const {
  termios state{};
  ::tcgetattr(master_, &state);
  return state.c_cc[VSTART];
}

}  // namespace tevra::testing
