// The platform-neutral half of the port engine: the record's line values, the
// block queue between the reader and the UI thread, wake merging and delivery,
// and the bounded output queue between portWrite() and the OS half's writer.
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
    // A UI thread may hold a wake back until its next frame: it hears once
    // more when the queue is half full, long before the reader has to wait.
    if (port.queued == kBlocksPerWake && !toWake) toWake = port.receiver;
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

namespace {

// Forgets every queued write. Caller holds outputMutex.
void clearOutput(PortRecord& port) {
  port.outputHead = 0;
  port.outputQueued = 0;
  port.writesHead = 0;
  port.writesQueued = 0;
}

}  // namespace

void beginOutput(PortRecord& port) {
  std::lock_guard lock(port.outputMutex);
  clearOutput(port);
  port.outputClosing = false;
}

int portWrite(const std::uint8_t* bytes, std::size_t count) {
  PortRecord& port = g_port;
  if (!port.connected.load()) return 0;
  {
    // A line that hung up and has not come back takes nothing: it would be dropped.
    std::lock_guard lock(port.lineMutex);
    if (!port.lineUp) return 0;
  }
  if (count == 0) return 1;
  {
    std::lock_guard lock(port.outputMutex);
    if (port.outputClosing || count > kPortOutputBytes - port.outputQueued) return 0;
    const std::size_t tail = (port.outputHead + port.outputQueued) % kPortOutputBytes;
    const std::size_t first = std::min(count, kPortOutputBytes - tail);
    std::memcpy(port.outputBytes.data() + tail, bytes, first);
    std::memcpy(port.outputBytes.data(), bytes + first, count - first);
    port.outputQueued += count;
    port.writeSizes[(port.writesHead + port.writesQueued) % kPortOutputBytes] =
        static_cast<std::uint16_t>(count);
    ++port.writesQueued;
  }
  if (wakeWriter(port)) return 1;
  // No writer to take it: the write just queued is the newest, and nobody began it.
  std::lock_guard lock(port.outputMutex);
  port.outputQueued -= count;
  --port.writesQueued;
  return 0;
}

PendingWrite peekWrite(PortRecord& port, std::uint8_t* into) {
  std::lock_guard lock(port.outputMutex);
  PendingWrite next;
  next.closing = port.outputClosing;
  next.closeBy = port.closeBy;
  if (port.writesQueued == 0) return next;
  if (next.closing && std::chrono::steady_clock::now() >= next.closeBy) return next;
  next.count = port.writeSizes[port.writesHead];
  next.timeoutMs = portWriteTimeoutMs(port.openBaud, next.count);
  const std::size_t first = std::min(next.count, kPortOutputBytes - port.outputHead);
  std::memcpy(into, port.outputBytes.data() + port.outputHead, first);
  std::memcpy(into + first, port.outputBytes.data(), next.count - first);
  return next;
}

void finishWrite(PortRecord& port) {
  std::lock_guard lock(port.outputMutex);
  if (port.writesQueued == 0) return;
  const std::size_t count = port.writeSizes[port.writesHead];
  port.writesHead = (port.writesHead + 1) % kPortOutputBytes;
  --port.writesQueued;
  port.outputHead = (port.outputHead + count) % kPortOutputBytes;
  port.outputQueued -= count;
}

bool outputCloseBy(PortRecord& port, std::chrono::steady_clock::time_point& closeBy) {
  std::lock_guard lock(port.outputMutex);
  closeBy = port.closeBy;
  return port.outputClosing;
}

std::chrono::steady_clock::time_point beginOutputDrain(PortRecord& port, std::size_t driverPending) {
  std::lock_guard lock(port.outputMutex);
  const long allowedMs = std::min(
      kPortCloseDrainMs, portWriteTimeoutMs(port.openBaud, port.outputQueued + driverPending));
  port.outputClosing = true;
  port.closeBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(allowedMs);
  return port.closeBy;
}

std::size_t endOutput(PortRecord& port) {
  std::lock_guard lock(port.outputMutex);
  const std::size_t dropped = port.outputQueued;
  clearOutput(port);
  return dropped;
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

std::size_t portQueuedBlocks() {
  std::lock_guard lock(g_port.queueMutex);
  return g_port.queued;
}

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
