// The port engine's Windows half: the line opened with CreateFileA for
// overlapped transfers, read by a thread that waits in WaitCommEvent for
// received characters, and written by a thread of its own that takes the
// neutral half's output queue and writes it with overlapped WriteFile calls
// bounded by the line's write time-out.
//
// Both threads also wait on an event of their own, so the close never depends
// on how a driver reports the end of a wait: portClose() signals the reader's
// event, and the reader ends its own WaitCommEvent by clearing the event mask
// (which ends the wait on Windows, and under Wine fails it with
// ERROR_OPERATION_ABORTED; CancelIo alone does not end it there).
//
// A hang-up: an unplugged adapter fails the wait, ClearCommError and ReadFile
// (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE). Under Wine a
// port whose device hung up never ends a wait at all, while ClearCommError
// fails with ERROR_NOT_READY and ReadFile with ERROR_BROKEN_PIPE; so a wait
// that lasts looks at the line twice a second. After a hang-up the reader
// closes the handle and tries the same name again every half second until the
// device is back or the port closes; the writer holds a LineUse for each write.
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "serial/PortEngine.h"

namespace tevra {

namespace {

// How often a reader in a long wait checks that the line is still there, and
// how often it tries a lost device again.
constexpr DWORD kLineCheckMs = 500;
// Driver queues, in bytes, for input and for output.
constexpr DWORD kDriverQueueBytes = 1024;
// XON/XOFF thresholds and characters.
constexpr WORD kFlowLimitBytes = 128;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

// The handles of the open line. Set by portOpen() before the reader starts,
// closed by portClose() only after the threads using them were joined. While
// the port is open only the reader changes `line` (after a hang-up), between
// lineDown() and lineUp(); the writer reads it under a LineUse.
struct Win32Line {
  HANDLE line = INVALID_HANDLE_VALUE;
  HANDLE closeWake = nullptr;   // manual-reset: portClose() ends the reader's wait
  HANDLE waitEvent = nullptr;   // the reader's WaitCommEvent transfer
  HANDLE readEvent = nullptr;   // the reader's ReadFile transfer
  std::thread reader;

  // The writer, started by the first write after an open, joined by portClose().
  HANDLE writerWake = nullptr;  // auto-reset: a write was queued, or portClose() drains
  HANDLE writeEvent = nullptr;  // the writer's WriteFile transfer
  std::thread writer;
};

Win32Line g_line;

void closeHandle(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

HANDLE manualResetEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// The system's text for an error code, without its line end.
std::string systemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
    message.pop_back();
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

void closeEvents(Win32Line& device) {
  closeHandle(device.closeWake);
  closeHandle(device.waitEvent);
  closeHandle(device.readEvent);
}

// Undoes what this open acquired: the device and the events, nothing else.
int failOpen(PortRecord& port, const std::string& devicePath, const std::string& why) {
  closeEvents(g_line);
  if (g_line.line != INVALID_HANDLE_VALUE) CloseHandle(g_line.line);
  g_line.line = INVALID_HANDLE_VALUE;
  failOpenWith(port, devicePath, why);
  return 0;
}

int failOpen(PortRecord& port, const std::string& devicePath, DWORD code) {
  return failOpen(port, devicePath, systemMessage(code));
}

// Line settings from the record; every field not named here keeps the
// device's own value.
void applyLine(DCB& state, const LineParameters& line) {
  state.BaudRate = line.baud;
  state.ByteSize = line.dataBits;
  state.Parity = static_cast<BYTE>(line.parity);
  state.StopBits = line.stopBits == StopBits::kTwo ? TWOSTOPBITS : ONESTOPBIT;
  state.fBinary = TRUE;
  state.fParity = TRUE;
  state.fDtrControl = DTR_CONTROL_ENABLE;
  state.fRtsControl = RTS_CONTROL_ENABLE;
  state.fOutX = TRUE;
  state.fInX = TRUE;
  state.XonLim = kFlowLimitBytes;
  state.XoffLim = kFlowLimitBytes;
  state.XonChar = kXonChar;
  state.XoffChar = kXoffChar;
}

// Opens `devicePath` as the line, for overlapped transfers, with `line`
// applied: the handle, or INVALID_HANDLE_VALUE with `error` set and nothing
// left open. portOpen() and the reopen after a hang-up both open this way.
HANDLE openLine(const std::string& devicePath, const LineParameters& line, DWORD& error) {
  HANDLE handle = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return handle;
  }
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1000;
  // At least 1 ms per byte at every rate, so a line held by XOFF never holds a write for ever.
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(portWriteTimeoutMs(line.baud, 1));
  timeouts.WriteTotalTimeoutConstant = 0;
  DCB state{};
  state.DCBlength = sizeof state;
  const bool ready = SetCommMask(handle, EV_RXCHAR) && SetupComm(handle, kDriverQueueBytes, kDriverQueueBytes) &&
                     SetCommTimeouts(handle, &timeouts) && GetCommState(handle, &state);
  if (ready) {
    applyLine(state, line);
    if (SetCommState(handle, &state)) return handle;
  }
  error = GetLastError();
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

void raiseModemLines(HANDLE line) {
  EscapeCommFunction(line, SETDTR);
  EscapeCommFunction(line, SETRTS);
}

// Whether the device behind the handle still answers: after a hang-up
// ClearCommError fails on Windows and under Wine alike.
bool lineResponds(HANDLE line) {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(line, &errors, &status) != 0;
}

// Bytes the driver holds for output, 0 when it cannot tell.
std::size_t driverOutputPending(HANDLE line) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(line, &errors, &status)) return 0;
  return status.cbOutQue;
}

bool waitForDriverOutput(HANDLE line, std::chrono::steady_clock::time_point closeBy) {
  while (driverOutputPending(line) > 0) {
    if (std::chrono::steady_clock::now() >= closeBy) return false;
    Sleep(5);
  }
  return true;
}

// Ends a transfer this thread started and waits until the driver let go of
// its block; the count it moved.
DWORD cancelTransfer(HANDLE line, OVERLAPPED& transfer) {
  CancelIo(line);
  DWORD moved = 0;
  GetOverlappedResult(line, &transfer, &moved, TRUE);
  return moved;
}

// Writer: writes `count` bytes until all went, `deadline` or the close's
// deadline passed, or the line failed. The driver's write time-out bounds
// each WriteFile too; the deadline also covers a driver that ignores it.
void writeWithin(PortRecord& port, Win32Line& device, const std::uint8_t* bytes, std::size_t count,
                 std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const LineUse use(port);  // the reader may let the line go and reopen it
  if (!use) return;         // the line is down: the write is dropped
  const HANDLE line = device.line;
  std::size_t written = 0;
  while (written < count) {
    OVERLAPPED transfer{};
    transfer.hEvent = device.writeEvent;
    ResetEvent(device.writeEvent);
    DWORD sent = 0;
    if (WriteFile(line, bytes + written, static_cast<DWORD>(count - written), &sent, &transfer)) {
      if (sent == 0) return;  // the driver's time-out: the line is held
      written += sent;
      continue;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      DWORD errors = 0;
      ClearCommError(line, &errors, nullptr);
      return;
    }
    for (;;) {
      Clock::time_point closeBy;
      const Clock::time_point until = outputCloseBy(port, closeBy) ? std::min(deadline, closeBy) : deadline;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) {
        cancelTransfer(line, transfer);
        return;
      }
      HANDLE waited[2] = {device.writeEvent, device.writerWake};
      const DWORD woke =
          WaitForMultipleObjects(2, waited, FALSE, static_cast<DWORD>(std::min<long long>(left, 60000)));
      if (woke == WAIT_OBJECT_0) break;
      if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_TIMEOUT) continue;  // the close may have begun
      cancelTransfer(line, transfer);
      return;
    }
    if (!GetOverlappedResult(line, &transfer, &sent, FALSE)) {
      DWORD errors = 0;
      ClearCommError(line, &errors, nullptr);
      return;
    }
    if (sent == 0) return;
    written += sent;
  }
}

// The writer's body: queued writes, oldest first, until the close has drained them.
void WriterThread(PortRecord* record, Win32Line* line) {
  PortRecord& port = *record;
  Win32Line& device = *line;
  std::array<std::uint8_t, kPortOutputBytes> bytes;
  for (;;) {
    const PendingWrite next = peekWrite(port, bytes.data());
    if (next.count == 0) {
      if (next.closing) return;
      if (WaitForSingleObject(device.writerWake, INFINITE) != WAIT_OBJECT_0) return;
      continue;
    }
    writeWithin(port, device, bytes.data(), next.count,
                std::chrono::steady_clock::now() + std::chrono::milliseconds(next.timeoutMs));
    finishWrite(port);
  }
}

// portClose(): lets the writer send what is queued, within the close's
// deadline, and ends it. True when nothing was left behind.
bool drainOutput(PortRecord& port, Win32Line& device) {
  const auto closeBy = beginOutputDrain(port, driverOutputPending(device.line));
  if (device.writerWake != nullptr) SetEvent(device.writerWake);
  if (device.writer.joinable()) device.writer.join();
  closeHandle(device.writerWake);
  closeHandle(device.writeEvent);
  const bool queueSent = endOutput(port) == 0;
  return waitForDriverOutput(device.line, closeBy) && queueSent;
}

// kFailed: the line failed (a hang-up); kBroken: the wait itself could not be made.
enum class WaitOutcome { kEvents, kClosing, kSpurious, kFailed, kBroken };

// Reader: ends its WaitCommEvent in flight. Clearing the mask is what ends it
// under Wine, whose CancelIo leaves a wait on a port pending.
void endWait(HANDLE line, OVERLAPPED& transfer) {
  SetCommMask(line, 0);
  cancelTransfer(line, transfer);
}

// Reader: one WaitCommEvent, ended by the line's events, the close, or a
// check that finds the line hung up.
WaitOutcome waitForLine(Win32Line& device, DWORD& mask) {
  OVERLAPPED transfer{};
  transfer.hEvent = device.waitEvent;
  ResetEvent(device.waitEvent);
  mask = 0;
  if (!WaitCommEvent(device.line, &mask, &transfer)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      return GetLastError() == ERROR_OPERATION_ABORTED ? WaitOutcome::kSpurious : WaitOutcome::kFailed;
    }
    HANDLE waited[2] = {device.waitEvent, device.closeWake};
    DWORD woke = WAIT_TIMEOUT;
    while ((woke = WaitForMultipleObjects(2, waited, FALSE, kLineCheckMs)) == WAIT_TIMEOUT) {
      if (!lineResponds(device.line)) {
        endWait(device.line, transfer);
        return WaitOutcome::kFailed;
      }
    }
    if (woke != WAIT_OBJECT_0) {
      endWait(device.line, transfer);
      return woke == WAIT_OBJECT_0 + 1 ? WaitOutcome::kClosing : WaitOutcome::kBroken;
    }
    DWORD unused = 0;
    if (!GetOverlappedResult(device.line, &transfer, &unused, FALSE)) {
      // Under Wine a cleared event mask ends the wait this way.
      return GetLastError() == ERROR_OPERATION_ABORTED ? WaitOutcome::kSpurious : WaitOutcome::kFailed;
    }
  }
  return WaitOutcome::kEvents;
}

// The reader's part in following a hang-up on Windows: the dead handle is
// closed, and the same name is opened again on a tick until it works.
class Win32Reconnector : public LineReconnector {
 public:
  explicit Win32Reconnector(PortRecord& port) : port_(port) {}

  bool letGo() override {
    closeHandle(g_line.line);
    g_line.line = INVALID_HANDLE_VALUE;
    // A COM name stays the device's own: it may always come back.
    return true;
  }

  Wake waitForDevice() override {
    return WaitForSingleObject(g_line.closeWake, kLineCheckMs) == WAIT_TIMEOUT ? Wake::kRetry : Wake::kStop;
  }

  bool reopen() override {
    DWORD ignored = 0;  // a failed reopen is quiet: the reader waits on
    HANDLE line = openLine(port_.openedPath, port_.openedLine, ignored);
    if (line == INVALID_HANDLE_VALUE) return false;
    // A device that is going away may still open, already hung up.
    if (!lineResponds(line)) {
      CloseHandle(line);
      return false;
    }
    raiseModemLines(line);
    g_line.line = line;
    return true;
  }

  void stopWatching() override {}

 private:
  PortRecord& port_;
};

Win32Reconnector g_reconnector(g_port);

}  // namespace

int portOpen(const std::string& devicePath, PortReceiver* receiver) {
  PortRecord& port = g_port;
  Win32Line& device = g_line;
  portTerm();
  port.failureReason.clear();

  DWORD error = 0;
  device.line = openLine(devicePath, port.line, error);
  if (device.line == INVALID_HANDLE_VALUE) return failOpen(port, devicePath, error);

  device.closeWake = manualResetEvent();
  device.waitEvent = manualResetEvent();
  device.readEvent = manualResetEvent();
  if (device.closeWake == nullptr || device.waitEvent == nullptr || device.readEvent == nullptr)
    return failOpen(port, devicePath, GetLastError());

  port.openedPath = devicePath;
  port.openedLine = port.line;
  lineUp(port);
  beginHandOff(port, receiver);
  beginOutput(port);
  port.connected.store(true);
  try {
    device.reader = std::thread(ReaderThread, &port);
  } catch (const std::system_error& failure) {
    port.connected.store(false);
    lineDown(port);
    return failOpen(port, devicePath, failure.code().message());
  }
  port.openBaud = port.line.baud;
  {
    const LineUse use(port);  // the reader may already have let a hung-up line go
    if (use) raiseModemLines(device.line);
  }
  return 1;
}

void portClose() {
  PortRecord& port = g_port;
  Win32Line& device = g_line;
  port.connected.store(false);
  stopHandOff(port);
  // The reader ends its own wait: only it knows the handle it waits on.
  if (device.closeWake != nullptr) SetEvent(device.closeWake);
  if (device.reader.joinable()) device.reader.join();
  endHandOff(port);
  // The writer is joined even while the reader waited for its device to come back.
  const bool allSent = drainOutput(port, device);
  lineDown(port);
  if (device.line != INVALID_HANDLE_VALUE) {
    if (!allSent) PurgeComm(device.line, PURGE_TXABORT | PURGE_TXCLEAR);
    EscapeCommFunction(device.line, CLRDTR);
    EscapeCommFunction(device.line, CLRRTS);
    CloseHandle(device.line);
    device.line = INVALID_HANDLE_VALUE;
  }
  closeEvents(device);
}

bool wakeWriter(PortRecord& port) {
  Win32Line& device = g_line;
  if (!device.writer.joinable()) {
    device.writerWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    device.writeEvent = manualResetEvent();
    if (device.writerWake == nullptr || device.writeEvent == nullptr) {
      closeHandle(device.writerWake);
      closeHandle(device.writeEvent);
      return false;
    }
    try {
      device.writer = std::thread(WriterThread, &port, &device);
    } catch (const std::system_error&) {
      closeHandle(device.writerWake);
      closeHandle(device.writeEvent);
      return false;
    }
  }
  SetEvent(device.writerWake);
  return true;
}

int portRead(std::uint8_t* buffer, std::size_t max) {
  Win32Line& device = g_line;
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(device.line, &errors, &status)) return -1;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, max));
  if (wanted == 0) return 0;

  OVERLAPPED transfer{};
  transfer.hEvent = device.readEvent;
  ResetEvent(device.readEvent);
  DWORD got = 0;
  if (ReadFile(device.line, buffer, wanted, &got, &transfer)) return static_cast<int>(got);
  if (GetLastError() != ERROR_IO_PENDING) {
    ClearCommError(device.line, &errors, nullptr);
    return -1;
  }
  for (;;) {
    if (GetOverlappedResult(device.line, &transfer, &got, TRUE)) return static_cast<int>(got);
    if (GetLastError() != ERROR_IO_INCOMPLETE) break;
  }
  errors = 0;
  ClearCommError(device.line, &errors, nullptr);
  return errors != 0 ? -1 : static_cast<int>(got);
}

int ReaderThread(PortRecord* record) {
  PortRecord& port = *record;
  Win32Line& device = g_line;
  // A line just opened (or reopened) may hold bytes that came before the first wait.
  bool justOpened = true;
  while (port.connected.load()) {
    bool readable = justOpened;
    bool failed = false;
    justOpened = false;
    if (!readable) {
      DWORD mask = 0;
      const WaitOutcome outcome = waitForLine(device, mask);
      if (outcome == WaitOutcome::kClosing || !port.connected.load()) break;
      if (outcome == WaitOutcome::kBroken) {
        queueError(port);
        return 0;
      }
      failed = outcome == WaitOutcome::kFailed;
      // An aborted wait with the port still open (Wine on a line without modem
      // lines ends every wait so) may still have bytes behind it.
      readable = outcome == WaitOutcome::kSpurious ||
                 (outcome == WaitOutcome::kEvents && (mask & EV_RXCHAR) != 0);
    }
    if (readable) {
      const DrainResult result = drainLine(port);
      if (result == DrainResult::kClosing) break;
      failed = failed || result == DrainResult::kFailed;
    }
    // A device that fails (an adapter unplugged) fails every wait: let it go
    // and wait for it to return.
    if (failed) {
      if (!followHangUp(port, g_reconnector)) break;
      justOpened = true;
    }
  }
  return 1;
}

}  // namespace tevra
