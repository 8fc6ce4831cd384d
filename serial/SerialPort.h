#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/LineParameters.h"

// The serial port engine: one port for the process, driven by plain functions
// on the UI thread, with a reader thread that hands received blocks over.
// serial/PortEngine.h describes the inside and its threads.

namespace tevra {

// Told that blocks are waiting (or the line failed). Called on the reader thread,
// and by portDeliver() on the UI thread when it leaves blocks for a later turn so
// that other events get their turn: it must only post a wake-up to the UI thread,
// which then calls portDeliver(); it must never block nor deliver inline.
// One wake may stand for many blocks. The engine merges wakes: it calls again
// only once portDeliver() has run, so the receiver needs no flag of its own,
// with one exception: while a wake waits for portDeliver(), it calls once more
// when the queue reaches half its blocks, so a receiver may hold a wake back
// for a moment (until its next frame) and still hear in time that the queue
// is filling.
class PortReceiver {
 public:
  virtual ~PortReceiver() = default;
  virtual void portWake() = 0;
};

// Where portDeliver() hands received blocks and errors, on the UI thread:
// the WM_PORT_DATA and WM_PORT_ERROR handlers.
class PortSink {
 public:
  virtual ~PortSink() = default;
  virtual int onPortData(int count, const std::uint8_t* bytes) = 0;
  virtual int onPortError() = 0;
};

// Received bytes travel to the UI thread in blocks of at most kPortBlockBytes,
// through a queue of kPortQueueBlocks: when it is full the reader stops reading,
// and the line's flow control holds the device.
constexpr std::size_t kPortBlockBytes = 511;
constexpr std::size_t kPortQueueBlocks = 256;

// Bytes written wait for the line in an output queue of kPortOutputBytes: a
// write that does not fit is not taken. Closing gives what waits at most its
// write time-out, and never more than kPortCloseDrainMs, to go out.
constexpr std::size_t kPortOutputBytes = 4096;
constexpr long kPortCloseDrainMs = 2000;

void portInit();
void portTerm();
int portIsOpen();
void portSetLine(std::uint8_t portNumber, std::uint32_t baud, std::uint8_t dataBits, Parity parity,
                 StopBits stopBits);
// Opens `devicePath` with the stored line values. Nonzero on success.
int portOpen(const std::string& devicePath, PortReceiver* receiver);
void portClose();
// UI thread: queues the bytes for the line and returns at once: 1 if they were
// taken, 0 if the port is closed or they do not fit in the output queue. They go
// out in order, off the UI thread; what of one write has not gone when its
// time-out passes (a line held by XOFF) is dropped.
int portWrite(const std::uint8_t* bytes, std::size_t count);
// The write time-out: 19200 / baud milliseconds per byte (64 at 300 baud), and
// 1 ms per byte from 38400 baud up so that a line held by XOFF never hangs a write.
long portWriteTimeoutMs(std::uint32_t baud, std::size_t count);
// "device: system message" for the last failed open.
std::string portFailureReason();
// UI thread: hands every queued block (and a queued error) to `sink`, in order.
// Blocks that arrive meanwhile wait for the next wake. Safe at any time: a closed
// port delivers nothing, and nothing of a closed port is delivered after its close.
// Returns the number of blocks delivered.
int portDeliver(PortSink& sink);
// Any thread: how many blocks wait for portDeliver() now.
std::size_t portQueuedBlocks();

}  // namespace tevra
