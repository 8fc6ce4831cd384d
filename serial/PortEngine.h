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
// drainLine(). kClosing ends the loop; kFailed, or a line that hung up, hands the
// reader to followHangUp() (below), and the loop goes on with the reopened line,
// or ends when that returns false. A wait that fails calls queueError() and
// returns 0. portRead() never blocks: with nothing waiting it returns 0.
//
// The line's life while the port is open (connected stays true throughout):
//   up -- hang-up --> let go -- device back and reopened --> up ...
//   up:       the OS half's line handle is open; writes may use it.
//   hang-up:  the reader sees it (a read of 0, an error, a hung-up wait);
//             queueError() once, so the UI thread hears of each hang-up once.
//   let go:   lineDown(): no new write starts and the writes in progress end;
//             then the OS half closes the dead handle at once, so the system
//             may give a replugged adapter its old name back.
//   waiting:  for the same device path to come back: woken by the system's
//             notice of a change in the device's folder, or at most twice a
//             second, and at once by portClose(). No box, no report.
//   reopen:   the path, the line values of the open, exclusive as portOpen()
//             opens, settings read back, DTR and RTS raised; one that fails
//             (missing, busy, settings refused, permission) keeps waiting.
//             Then lineUp(), and the reader watches the new handle.
//             A pseudo-terminal named by its own /dev/pts/N is let go but not
//             waited for: that name goes to the next, unrelated pair.
// followHangUp() runs this; the OS half gives it the steps (LineReconnector).
// portClose() or portOpen() at any moment ends the wait: the close wake-up.
// What open and close add for it:
//   portOpen:  once the line is open, before the reader starts: openedPath,
//              openedLine = the path and line; lineUp(). If the reader does
//              not start: lineDown() before the line is closed.
//   portClose: after the reader was joined: lineDown(); then only if the line
//              is open (it is not while the device was awaited) drop DTR and
//              RTS and close it.
// Guarding: openedPath and openedLine are written by portOpen() before the
// reader starts, then only read until portClose() has joined it; lineUp and
// lineUsers by lineMutex.
//   POSIX: a hang-up is POLLHUP/POLLERR or a read of 0 or EIO; the wait is
//          poll() on inotify (the path's folder and its link target's), a
//          500 ms tick and the close eventfd.
//   Win32: a hang-up is a failed WaitCommEvent/ReadFile/ClearCommError (an
//          unplugged adapter answers ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND or
//          ERROR_OPERATION_ABORTED; under Wine the wait never ends, so a long
//          wait checks ClearCommError twice a second); letGo() is
//          CloseHandle(); the wait is WaitForSingleObject() on the close
//          event with a 500 ms time-out; reopen() is portOpen()'s openLine().
//
// The line handle and writers. The reader alone changes the OS half's handle
// while the port is open, so a writer (the UI thread today, a writer thread
// tomorrow) must hold a LineUse for as long as it uses the handle: the handle
// it reads after a LineUse that is true stays open and unchanged until the
// LineUse ends. A false LineUse means the line is down: the write fails at once
// (what was to be written is dropped, as on a dead line). Take a LineUse per
// write (or per chunk), read the handle after it, never cache the handle
// across LineUses, and never wait on the reader while holding one: the reader
// waits in lineDown() for every LineUse to end. A write on a hung-up line
// fails at once, so that wait is short; it is bounded by the write time-out.
// portOpen() brings the line up before the reader starts; portClose() takes it
// down (lineDown()) before it closes the handle.

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

  // The line behind the open port, which may hang up and come back.
  // openedPath and openedLine: set by portOpen() before the reader starts, then
  // read only, by the reader when it reopens. The rest is guarded by lineMutex.
  std::string openedPath;
  LineParameters openedLine;
  std::mutex lineMutex;
  std::condition_variable lineIdle;  // lineUsers fell to 0
  bool lineUp = false;               // the OS half's line handle is open and usable
  int lineUsers = 0;                 // LineUse holders

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

// A writer's hold on the line handle: while it is true the handle stays open
// and unchanged. Hold it only for the time of one write.
class LineUse {
 public:
  explicit LineUse(PortRecord& port);
  ~LineUse();
  LineUse(const LineUse&) = delete;
  LineUse& operator=(const LineUse&) = delete;
  explicit operator bool() const { return held_; }

 private:
  PortRecord& port_;
  bool held_;
};

// After the OS half stored an open handle: writers may use it.
void lineUp(PortRecord& port);
// Before the OS half closes its handle: no LineUse is granted from now on;
// returns once those held have ended.
void lineDown(PortRecord& port);

// The steps of following a hang-up that depend on the operating system, all
// on the reader thread.
class LineReconnector {
 public:
  enum class Wake { kRetry, kStop };  // kStop: portClose() woke the wait, or it failed
  virtual ~LineReconnector() = default;
  // Closes the dead handle (lineDown() has run) and starts watching for the
  // device: its folder, or a tick. False for a device whose name the system
  // hands to another line once this one is gone (a pseudo-terminal's
  // /dev/pts/N, unlike a link to one): it is never reopened.
  virtual bool letGo() = 0;
  // Blocks until something may have changed (kRetry: after at most about half
  // a second; never after a letGo() that was false) or the wait must end (kStop).
  virtual Wake waitForDevice() = 0;
  // Opens openedPath with openedLine as portOpen() does and stores the handle;
  // false, with nothing left open, if the device is missing, busy or refuses.
  virtual bool reopen() = 0;
  // Stops watching for the device (after a reopen, or at the close).
  virtual void stopWatching() = 0;
};

// Reader thread, on a hang-up: reports it, lets the device go, waits for it to
// come back and takes it up again. True with the line up again; false once the
// port is closing.
bool followHangUp(PortRecord& port, LineReconnector& os);

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
