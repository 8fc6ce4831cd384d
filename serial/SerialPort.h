#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tevra {

// Told by the reader thread that blocks are waiting (or the line failed).
// Called on the reader thread: it must only wake the UI thread, which then
// calls portDeliver(). One wake may stand for many blocks.
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

// The one open port of the process. Fields beyond these are the engine's own.
struct PortRecord;
extern PortRecord g_port;

void portInit();
void portTerm();
int portIsOpen();
void portSetLine(std::uint8_t portNumber, std::uint32_t baud, std::uint8_t dataBits,
                 std::uint8_t parity, std::uint8_t stopBits);
// Opens `devicePath` with the stored line values. Nonzero on success.
int portOpen(const std::string& devicePath, PortReceiver* receiver);
void portClose();
// Reader thread only: bytes read (0 if none waiting) or -1 on error.
int portRead(std::uint8_t* buffer, std::size_t max);
// UI thread: 1 if every byte was written within the write time-out, else 0.
int portWrite(const std::uint8_t* bytes, std::size_t count);
// "device: system message" for the last failed open.
std::string portFailureReason();
// UI thread: hands every queued block (and a queued error) to `sink`, in order.
// Returns the number of blocks delivered.
int portDeliver(PortSink& sink);

}  // namespace tevra
