#pragma once

// The port engine's inside: the record shared by its platform-neutral half
// (serial/SerialPort.cpp: the block queue, wake merging and delivery) and the
// half that drives the operating system's line (serial/posix/, later
// serial/win32/). Only the engine includes this header.
//
// The operating-system half defines:
//   portOpen, portClose, portWrite (declared in serial/SerialPort.h),
//   portRead and ReaderThread (below).
// It keeps its own handles (line, close wake-up, reader thread) to itself.
// The neutral half defines everything else in both headers.
//
// Threads. The UI thread calls every public function: it opens, closes,
// writes and delivers. The reader thread exists from portOpen() to
// portClose(); it runs ReaderThread(), which calls portRead() and, for each
// block or failure, the hand-off below. PortReceiver::portWake() runs on
// either thread; PortSink runs on the UI thread only, inside portDeliver().
//
// Guarding.
//   - line, openBaud, failureReason: UI thread only.
//   - connected: written by the UI thread only, read by the reader between waits.
//   - everything under "hand-off": queueMutex. The one exception is the bytes of
//     the free slot drainLine() reads into: the reader fills them unlocked and
//     then queues the slot under the lock; no one else touches a slot not queued.
//   - the OS half's handles: set by portOpen() before the reader starts, closed
//     by portClose() only after the reader has ended (joined).
//
// Open and close, as the OS half must order them:
//   portOpen:  portTerm(); failureReason cleared; open the line and its close
//              wake-up (a failure: undo, failOpenWith(), return 0);
//              beginHandOff(receiver); connected = true; start the reader
//              (a failure: connected = false, undo, return 0);
//              openBaud = line.baud; raise DTR and RTS; return 1.
//   portClose: connected = false; stopHandOff(); wake the reader's wait; join
//              the reader; endHandOff(); drop DTR and RTS; close the line.
// The reader never waits on the UI thread except for room in the queue, and
// stopHandOff() ends that wait, so portClose() cannot wait on a reader that
// waits on it.
//
// ReaderThread, as the OS half must write it: while connected, block until the
// line has bytes or portClose() wakes the wait (the wake ends the loop); on bytes,
// drainLine(). kClosing ends the loop; kFailed, or a line that hung up, calls
// queueError() once and stops watching the line, waiting only for the close. A
// wait that fails calls queueError() and returns 0. portRead() never blocks: with
// nothing waiting it returns 0.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "serial/SerialPort.h"

namespace tevra {

struct PortRecord {
  struct ReceivedBlock {
    std::size_t count = 0;
    std::array<std::uint8_t, kPortBlockBytes> bytes{};
  };

  std::atomic<bool> connected{false};  // from a successful portOpen() until portClose() begins

  LineParameters line;         // as portSetLine() stored it, for the next open
  std::uint32_t openBaud = 0;  // the rate the open line runs at, for write time-outs
  std::string failureReason;

  // The hand-off to the UI thread, guarded by queueMutex.
  std::mutex queueMutex;
  std::condition_variable roomFreed;
  PortReceiver* receiver = nullptr;
  std::array<ReceivedBlock, kPortQueueBlocks> blocks;
  std::size_t head = 0;    // oldest queued block
  std::size_t queued = 0;  // blocks waiting for portDeliver()
  bool errorQueued = false;
  bool wakePending = false;      // the UI thread was woken and has not yet drained
  bool stopping = false;         // portClose() began: the reader must leave
  std::uint64_t generation = 0;  // one per open and per close: stale deliveries stop
};

// The one port of the process.
extern PortRecord g_port;

// Reader thread only, defined by the OS half: bytes read (0 if none waiting)
// or -1 when the line failed.
int portRead(std::uint8_t* buffer, std::size_t max);
// The reader thread's body, defined by the OS half and started by portOpen():
// 1 after a normal end, 0 if its wait failed.
int ReaderThread(PortRecord* record);

// UI thread, portOpen(): records "devicePath: why" for portFailureReason().
void failOpenWith(PortRecord& port, const std::string& devicePath, const std::string& why);
// UI thread, portOpen() before the reader starts: an empty queue for `receiver`.
void beginHandOff(PortRecord& port, PortReceiver* receiver);
// UI thread, portClose() before it wakes and joins the reader: the reader's
// hand-off calls return at once from now on.
void stopHandOff(PortRecord& port);
// UI thread, portClose() after the reader ended: forgets what was queued, so
// nothing of the closed port is delivered.
void endHandOff(PortRecord& port);

enum class DrainResult { kEmpty, kFailed, kClosing };
// Reader thread: reads blocks with portRead() into the queue until nothing
// more is waiting (the UI thread is woken for what was read), the read fails,
// or the port is closing.
DrainResult drainLine(PortRecord& port);
// Reader thread: the line failed; the UI thread hears it once, after the
// blocks before it.
void queueError(PortRecord& port);

}  // namespace tevra
