// The port engine's Windows half: the line opened with CreateFileA for
// overlapped transfers, read by a thread that waits in WaitCommEvent for
// received characters, and written by a thread of its own that takes the
// neutral half's output queue and writes it with overlapped WriteFile calls
// bounded by the line's write time-out.
//
// Both threads also wait on an event of their own, so the close never depends
// on how a driver reports the end of a wait: portClose() clears the event
// mask (which ends WaitCommEvent on Windows, and under Wine fails it with
// ERROR_OPERATION_ABORTED and mask 0) and signals the reader's event as well.
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

// Driver queues, in bytes, for input and for output.
constexpr DWORD kDriverQueueBytes = 1024;
// XON/XOFF thresholds and characters.
constexpr WORD kFlowLimitBytes = 128;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

// The handles of the open line. Set by portOpen() before the reader starts,
// closed by portClose() only after the threads using them were joined.
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
  std::size_t written = 0;
  while (written < count) {
    OVERLAPPED transfer{};
    transfer.hEvent = device.writeEvent;
    ResetEvent(device.writeEvent);
    DWORD sent = 0;
    if (WriteFile(device.line, bytes + written, static_cast<DWORD>(count - written), &sent, &transfer)) {
      if (sent == 0) return;  // the driver's time-out: the line is held
      written += sent;
      continue;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      DWORD errors = 0;
      ClearCommError(device.line, &errors, nullptr);
      return;
    }
    for (;;) {
      Clock::time_point closeBy;
      const Clock::time_point until = outputCloseBy(port, closeBy) ? std::min(deadline, closeBy) : deadline;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) {
        cancelTransfer(device.line, transfer);
        return;
      }
      HANDLE waited[2] = {device.writeEvent, device.writerWake};
      const DWORD woke =
          WaitForMultipleObjects(2, waited, FALSE, static_cast<DWORD>(std::min<long long>(left, 60000)));
      if (woke == WAIT_OBJECT_0) break;
      if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_TIMEOUT) continue;  // the close may have begun
      cancelTransfer(device.line, transfer);
      return;
    }
    if (!GetOverlappedResult(device.line, &transfer, &sent, FALSE)) {
      DWORD errors = 0;
      ClearCommError(device.line, &errors, nullptr);
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

enum class WaitOutcome { kEvents, kClosing, kSpurious, kFailed };

// Reader: one WaitCommEvent, ended by the line's events or by the close.
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
    const DWORD woke = WaitForMultipleObjects(2, waited, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0) {
      cancelTransfer(device.line, transfer);
      return WaitOutcome::kClosing;
    }
    DWORD unused = 0;
    if (!GetOverlappedResult(device.line, &transfer, &unused, FALSE)) {
      // Under Wine a cleared event mask ends the wait this way.
      return GetLastError() == ERROR_OPERATION_ABORTED ? WaitOutcome::kSpurious : WaitOutcome::kFailed;
    }
  }
  return WaitOutcome::kEvents;
}

}  // namespace

int portOpen(const std::string& devicePath, PortReceiver* receiver) {
  PortRecord& port = g_port;
  Win32Line& device = g_line;
  portTerm();
  port.failureReason.clear();

  device.line = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device.line == INVALID_HANDLE_VALUE) return failOpen(port, devicePath, GetLastError());
  if (!SetCommMask(device.line, EV_RXCHAR)) return failOpen(port, devicePath, GetLastError());
  if (!SetupComm(device.line, kDriverQueueBytes, kDriverQueueBytes))
    return failOpen(port, devicePath, GetLastError());

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1000;
  // At least 1 ms per byte at every rate, so a line held by XOFF never holds a write for ever.
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(portWriteTimeoutMs(port.line.baud, 1));
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!SetCommTimeouts(device.line, &timeouts)) return failOpen(port, devicePath, GetLastError());

  DCB state{};
  state.DCBlength = sizeof state;
  if (!GetCommState(device.line, &state)) return failOpen(port, devicePath, GetLastError());
  applyLine(state, port.line);
  if (!SetCommState(device.line, &state)) return failOpen(port, devicePath, GetLastError());

  device.closeWake = manualResetEvent();
  device.waitEvent = manualResetEvent();
  device.readEvent = manualResetEvent();
  if (device.closeWake == nullptr || device.waitEvent == nullptr || device.readEvent == nullptr)
    return failOpen(port, devicePath, GetLastError());

  port.openedPath = devicePath;
  port.openedLine = port.line;
  lineUp(port);  // this half never reopens, so its writer needs no LineUse
  beginHandOff(port, receiver);
  beginOutput(port);
  port.connected.store(true);
  try {
    device.reader = std::thread(ReaderThread, &port);
  } catch (const std::system_error& error) {
    port.connected.store(false);
    lineDown(port);
    return failOpen(port, devicePath, error.code().message());
  }
  port.openBaud = port.line.baud;
  EscapeCommFunction(device.line, SETDTR);
  EscapeCommFunction(device.line, SETRTS);
  return 1;
}

void portClose() {
  PortRecord& port = g_port;
  Win32Line& device = g_line;
  port.connected.store(false);
  stopHandOff(port);
  if (device.line != INVALID_HANDLE_VALUE) SetCommMask(device.line, 0);
  if (device.closeWake != nullptr) SetEvent(device.closeWake);
  if (device.reader.joinable()) device.reader.join();
  endHandOff(port);
  if (device.line != INVALID_HANDLE_VALUE) {
    const bool allSent = drainOutput(port, device);
    lineDown(port);
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
  if (!SetCommMask(device.line, EV_RXCHAR)) {
    queueError(port);
    return 0;
  }
  // Bytes that arrived between the open and the first wait.
  if (drainLine(port) == DrainResult::kFailed) queueError(port);
  bool watching = true;
  while (port.connected.load()) {
    if (!watching) {
      WaitForSingleObject(device.closeWake, INFINITE);
      break;
    }
    DWORD mask = 0;
    const WaitOutcome outcome = waitForLine(device, mask);
    if (outcome == WaitOutcome::kClosing || !port.connected.load()) break;
    // An aborted wait with the port still open (Wine on a line without modem
    // lines ends every wait so) may still have bytes behind it.
    DrainResult result = DrainResult::kEmpty;
    if (outcome == WaitOutcome::kSpurious || (outcome == WaitOutcome::kEvents && (mask & EV_RXCHAR) != 0))
      result = drainLine(port);
    if (result == DrainResult::kClosing) break;
    // A device that fails (an adapter unplugged) fails every wait: one report,
    // then only the close ends the thread.
    if (outcome == WaitOutcome::kFailed || result == DrainResult::kFailed) {
      queueError(port);
      watching = false;
    }
  }
  return 1;
}

}  // namespace tevra
