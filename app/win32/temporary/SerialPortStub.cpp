// TEMPORARY stand-in for the Windows port engine, so the Windows program links
// before serial/win32/ exists: every open fails (the program then runs without
// a port, as after any failed open). Only what the shell calls is here.
// Dropped when the real engine lands.
#include "serial/SerialPort.h"

namespace tevra {

struct PortRecord {
  std::uint8_t portNumber = 0;
  std::uint32_t baud = 0;
  std::uint8_t dataBits = 0;
  std::uint8_t parity = 0;
  std::uint8_t stopBits = 0;
};

PortRecord g_port;

void portInit() { g_port = PortRecord{}; }
void portTerm() {}
int portIsOpen() { return 0; }

void portSetLine(std::uint8_t portNumber, std::uint32_t baud, std::uint8_t dataBits,
                 std::uint8_t parity, std::uint8_t stopBits) {
  g_port.portNumber = portNumber;
  g_port.baud = baud;
  g_port.dataBits = dataBits;
  g_port.parity = parity;
  g_port.stopBits = stopBits;
}

int portOpen(const std::string& /*devicePath*/, PortReceiver* /*receiver*/) { return 0; }
void portClose() {}
int portWrite(const std::uint8_t* /*bytes*/, std::size_t /*count*/) { return 0; }

std::string portFailureReason() { return {}; }
int portDeliver(PortSink& /*sink*/) { return 0; }

}  // namespace tevra
