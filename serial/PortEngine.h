#pragma once

// The port engine's inside: the record shared by its platform-neutral half
// (serial/SerialPort.cpp: the block queue, wake merging and delivery) and the
// half that drives the operating system's line (serial/posix/, later
// serial/win32/). Only the engine includes this header.
//
// The operating-system half defines:
//   portOpen, portClose (declared in serial/SerialPort.h),
//   portRead, ReaderThread and wakeWriter (below).
// It keeps its own handles (line, wake-ups, reader and writer threads) to itself.
// The neutral half defines everything else in both headers, portWrite() included:
// it only queues the bytes for the OS half's writer.
//
// Threads. The UI thread calls every public function: it opens, closes,
// writes (queues) and delivers. The reader thread exists from portOpen() to
// portClose(); it runs ReaderThread(), which calls portRead() and, for each
// block or failure, the hand-off below. The OS half's writer (a thread, or an
// overlapped write in flight) exists from the first write after an open until
// portClose() has drained the output; it takes queued writes with peekWrite()
// and finishWrite(), oldest first. PortReceiver::portWake() runs on the reader
// or the UI thread; PortSink runs on the UI thread only, inside portDeliver().
//
// Guarding.
//   - line, failureReason: UI thread only.
//   - openBaud: written by portOpen() before any writer exists, then only read.
//   - connected: written by the UI thread only, read by the other threads.
//   - everything under "hand-off": queueMutex. The one exception is the bytes of
//     the free slot drainLine() reads into: the reader fills them unlocked and
//     then queues the slot under the lock; no one else touches a slot not queued.
//   - everything under "output": outputMutex, never held while writing to the
//     line nor together with queueMutex.
//   - the OS half's handles: set by portOpen() before the reader starts (the
//     writer's by the first wakeWriter()), closed by portClose() only after the
//     threads using them have ended (joined).
//
// Open and close, as the OS half must order them:
//   portOpen:  portTerm(); failureReason cleared; open the line and its close
//              wake-up (a failure: undo only what this open acquired, never
//              flushing the line nor clearing an exclusive flag it did not set,
//              failOpenWith(), return 0); beginHandOff(receiver); beginOutput();
//              connected = true; start the reader (a failure: connected = false,
//              undo, return 0); openBaud = line.baud; raise DTR and RTS; return 1.
//   portClose: connected = false; stopHandOff(); wake the reader's wait; join
//              the reader; endHandOff(); closeBy = beginOutputDrain(bytes still
//              in the driver); wake the writer, which leaves once the queue is
//              empty or closeBy has passed; join it; endOutput(); wait until the
//              driver's output is empty or closeBy; only if something was left
//              (endOutput() dropped bytes, or the driver still holds some) discard
//              the driver's output; drop DTR and RTS; close the line.
// The reader never waits on the UI thread except for room in the queue, and
// stopHandOff() ends that wait, so portClose() cannot wait on a reader that
// waits on it. The writer never waits on the UI thread at all, and closeBy
// bounds how long portClose() waits for it, even on a line held by XOFF.
//
// The writer, as the OS half must write it: take the oldest write with
// peekWrite(); with none, leave if closing, else block until wakeWriter() or the
// close wakes it (an idle writer must not wake on its own). Write its bytes in
// order until all went, its time-out (PendingWrite::timeoutMs, from when the
// writer began it) passed, the line failed, or closeBy passed; then
// finishWrite(), which drops whatever of it did not go.
//
// ReaderThread, as the OS half must write it: while connected, block until the
// line has bytes or portClose() wakes the wait (the wake ends the loop); on bytes,
// drainLine(). kClosing ends the loop; kFailed, or a line that hung up, calls
// queueError() once and stops watching the line, waiting only for the close. A
// wait that fails calls queueError() and returns 0. portRead() never blocks: with
// nothing waiting it returns 0.

#include <array>
#include <atomic>
#include <chrono>
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

  // The output: writes portWrite() took and the writer has not finished, oldest
  // first, guarded by outputMutex. Bytes and write sizes are rings; at most
  // kPortOutputBytes bytes wait, so at most as many writes.
  std::mutex outputMutex;
  std::array<std::uint8_t, kPortOutputBytes> outputBytes{};
  std::size_t outputHead = 0;    // first byte of the oldest write
  std::size_t outputQueued = 0;  // bytes of every write taken and not finished
  std::array<std::uint16_t, kPortOutputBytes> writeSizes{};
  std::size_t writesHead = 0;
  std::size_t writesQueued = 0;
  bool outputClosing = false;  // portClose() drains: nothing more is taken
  std::chrono::steady_clock::time_point closeBy{};  // while closing: the writer's last moment
};

// The one port of the process.
extern PortRecord g_port;

// Reader thread only, defined by the OS half: bytes read (0 if none waiting)
// or -1 when the line failed.
int portRead(std::uint8_t* buffer, std::size_t max);
// The reader thread's body, defined by the OS half and started by portOpen():
// 1 after a normal end, 0 if its wait failed.
int ReaderThread(PortRecord* record);

// UI thread, portWrite(), after it queued bytes: the OS half starts its writer if
// none runs yet and wakes it. False if no writer could be started; the bytes
// just queued are then taken back.
bool wakeWriter(PortRecord& port);

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

// UI thread, portOpen() before the reader starts: an empty output.
void beginOutput(PortRecord& port);

struct PendingWrite {
  std::size_t count = 0;  // 0: nothing queued
  long timeoutMs = 0;     // the write's own time-out at the open line's rate
  bool closing = false;   // portClose() drains: with nothing queued, the writer leaves
  std::chrono::steady_clock::time_point closeBy{};  // while closing: give up then
};
// Writer: copies the oldest write's bytes into `into` (room for
// kPortOutputBytes). Once closeBy has passed it reports nothing queued, closing.
PendingWrite peekWrite(PortRecord& port, std::uint8_t* into);
// Writer: the oldest write is done, sent or not; its room is free again.
void finishWrite(PortRecord& port);
// Writer: true and the close's deadline once portClose() drains, else false.
bool outputCloseBy(PortRecord& port, std::chrono::steady_clock::time_point& closeBy);

// UI thread, portClose() after connected = false: no write is taken from now on;
// what is queued, and `driverPending` bytes still in the driver, have until the
// returned moment to go out: their write time-out, but at most kPortCloseDrainMs.
std::chrono::steady_clock::time_point beginOutputDrain(PortRecord& port, std::size_t driverPending);
// UI thread, portClose() after the writer ended: forgets what is left; returns
// how many bytes were dropped.
std::size_t endOutput(PortRecord& port);

}  // namespace tevra
