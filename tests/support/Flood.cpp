#include "tests/support/Flood.h"

#include <poll.h>
#include <unistd.h>

#include <cstddef>

namespace tevra::testing {

Flood::Flood(int master, std::string bytes, bool repeat)
    : master_(master), bytes_(std::move(bytes)), repeat_(repeat) {
  thread_ = std::thread([this] {
    std::size_t offset = 0;
    while (!stop_ && offset < bytes_.size()) {
      pollfd room{master_, POLLOUT, 0};
      if (poll(&room, 1, 50) <= 0 || !(room.revents & POLLOUT)) continue;
      const ssize_t wrote = ::write(master_, bytes_.data() + offset, bytes_.size() - offset);
      if (wrote > 0) {
        offset += static_cast<std::size_t>(wrote);
        written_ += wrote;
        if (repeat_ && offset == bytes_.size()) offset = 0;
      } else {
        // The line closed by the program (a reconnect): it comes back.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    finished_ = true;
  });
}

Flood::~Flood() { stop(); }

bool Flood::waitFinished(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!finished_) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

void Flood::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace tevra::testing
