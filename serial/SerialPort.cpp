// The platform-neutral half of the port engine: the record's line values, the
// block queue between the reader and the UI thread, wake merging and delivery.
#include <algorithm>
#include <cstring>

#include "serial/PortEngine.h"

namespace tevra {

PortRecord g_port;

namespace {

// Forgets whatever the previous port left queued. Caller holds queueMutex.
void resetQueue(PortRecord& port) {
  port.head = 0;
  port.queued = 0;
  port.errorQueued = false;
  port.wakePending = false;
  ++port.generation;
}

// Reader thread: the next free slot of the queue, after waiting for room if
// the UI thread has fallen behind. Null once the port is closing.
PortRecord::ReceivedBlock* claimFreeSlot(PortRecord& port) {
  std::unique_lock lock(port.queueMutex);
  port.roomFreed.wait(lock, [&] { return port.queued < kPortQueueBlocks || port.stopping; });
  if (port.stopping) return nullptr;
  return &port.blocks[(port.head + port.queued) % kPortQueueBlocks];
}

// Reader thread: wakes the UI thread unless a wake is already on its way.
// Caller holds queueMutex; the receiver to call after unlocking, or null.
PortReceiver* claimWake(PortRecord& port) {
  if (port.wakePending) return nullptr;
  port.wakePending = true;
  return port.receiver;
}

// Under a flood the reader fills a few blocks before it wakes the UI thread:
// one wake per block would cost a thread switch per 511 bytes.
constexpr std::size_t kBlocksPerWake = kPortQueueBlocks / 2;

// Reader thread: publishes the slot filled since claimFreeSlot().
void commitSlot(PortRecord& port, std::size_t count) {
  PortReceiver* toWake = nullptr;
  {
    std::lock_guard lock(port.queueMutex);
    if (port.stopping) return;
    port.blocks[(port.head + port.queued) % kPortQueueBlocks].count = count;
    ++port.queued;
    if (port.queued >= kBlocksPerWake) toWake = claimWake(port);
  }
  if (toWake) toWake->portWake();
}

// Reader thread: nothing more is waiting on the line; the blocks read go now.
void wakeForQueued(PortRecord& port) {
  PortReceiver* toWake = nullptr;
  {
    std::lock_guard lock(port.queueMutex);
    if (port.stopping || port.queued == 0) return;
    toWake = claimWake(port);
  }
  if (toWake) toWake->portWake();
}

}  // namespace

void failOpenWith(PortRecord& port, const std::string& devicePath, const std::string& why) {
  port.failureReason = devicePath + ": " + why;
}

void beginHandOff(PortRecord& port, PortReceiver* receiver) {
  std::lock_guard lock(port.queueMutex);
  resetQueue(port);
  port.stopping = false;
  port.receiver = receiver;
}

void stopHandOff(PortRecord& port) {
  {
    std::lock_guard lock(port.queueMutex);
    port.stopping = true;
  }
  port.roomFreed.notify_all();
}

void endHandOff(PortRecord& port) {
  std::lock_guard lock(port.queueMutex);
  resetQueue(port);
  port.receiver = nullptr;
}

void queueError(PortRecord& port) {
  PortReceiver* toWake = nullptr;
  {
    std::lock_guard lock(port.queueMutex);
    if (port.stopping) return;
    port.errorQueued = true;
    toWake = claimWake(port);
  }
  if (toWake) toWake->portWake();
}

LineUse::LineUse(PortRecord& port) : port_(port) {
  std::lock_guard lock(port_.lineMutex);
  held_ = port_.lineUp;
  if (held_) ++port_.lineUsers;
}

LineUse::~LineUse() {
  if (!held_) return;
  std::lock_guard lock(port_.lineMutex);
  if (--port_.lineUsers == 0) port_.lineIdle.notify_all();
}

void lineUp(PortRecord& port) {
  std::lock_guard lock(port.lineMutex);
  port.lineUp = true;
}

void lineDown(PortRecord& port) {
  std::unique_lock lock(port.lineMutex);
  port.lineUp = false;
  port.lineIdle.wait(lock, [&] { return port.lineUsers == 0; });
}

bool followHangUp(PortRecord& port, LineReconnector& os) {
  queueError(port);
  lineDown(port);
  const bool mayComeBack = os.letGo();
  bool reopened = false;
  while (!reopened && port.connected.load()) {
    if (os.waitForDevice() == LineReconnector::Wake::kStop) break;
    reopened = mayComeBack && port.connected.load() && os.reopen();
  }
  os.stopWatching();
  if (reopened) lineUp(port);
  return reopened;
}

DrainResult drainLine(PortRecord& port) {
  for (;;) {
    PortRecord::ReceivedBlock* slot = claimFreeSlot(port);
    if (slot == nullptr) return DrainResult::kClosing;
    const int got = portRead(slot->bytes.data(), kPortBlockBytes);
    if (got < 0) return DrainResult::kFailed;
    if (got == 0) {
      wakeForQueued(port);
      return DrainResult::kEmpty;
    }
    commitSlot(port, static_cast<std::size_t>(got));
  }
}

void portInit() {
  portTerm();
  g_port.line = LineParameters{0, 0, 0, Parity::kNone, StopBits::kOne};
  g_port.failureReason.clear();
}

void portTerm() {
  if (portIsOpen() != 0) portClose();
}

int portIsOpen() { return g_port.connected.load() ? 1 : 0; }

void portSetLine(std::uint8_t portNumber, std::uint32_t baud, std::uint8_t dataBits, Parity parity,
                 StopBits stopBits) {
  g_port.line = LineParameters{portNumber, baud, dataBits, parity, stopBits};
}

long portWriteTimeoutMs(std::uint32_t baud, std::size_t count) {
  const long perByte = baud == 0 ? 1 : std::max<long>(1, 19200 / static_cast<long>(baud));
  return perByte * static_cast<long>(count);
}

std::string portFailureReason() { return g_port.failureReason; }

int portDeliver(PortSink& sink) {
  PortRecord& port = g_port;
  std::array<std::uint8_t, kPortBlockBytes> bytes;
  int delivered = 0;
  std::unique_lock lock(port.queueMutex);
  const std::uint64_t generation = port.generation;
  std::size_t budget = port.queued;  // later arrivals wait for the next wake
  for (;;) {
    if (port.generation != generation) return delivered;  // closed during a sink call
    if (budget > 0 && port.queued > 0) {
      const PortRecord::ReceivedBlock& block = port.blocks[port.head];
      const std::size_t count = block.count;
      std::memcpy(bytes.data(), block.bytes.data(), count);
      port.head = (port.head + 1) % kPortQueueBlocks;
      const bool wasFull = port.queued-- == kPortQueueBlocks;
      --budget;
      lock.unlock();
      if (wasFull) port.roomFreed.notify_one();
      sink.onPortData(static_cast<int>(count), bytes.data());
      ++delivered;
      lock.lock();
    } else if (port.queued == 0 && port.errorQueued) {
      port.errorQueued = false;
      lock.unlock();
      sink.onPortError();
      lock.lock();
    } else {
      break;
    }
  }
  PortReceiver* toWake = nullptr;
  if (port.queued > 0 || port.errorQueued) {
    port.wakePending = true;  // this wake stands for what is left
    toWake = port.receiver;
  } else {
    port.wakePending = false;
  }
  lock.unlock();
  if (toWake) toWake->portWake();
  return delivered;
}

}  // namespace tevra
