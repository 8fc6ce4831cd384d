#include "serial/EngineLink.h"

namespace tevra {

EngineLink::EngineLink(PortReceiver* receiver) : receiver_(receiver) {}

bool EngineLink::open(const LineParameters& line, const std::string& devicePath) {
  portSetLine(line.portNumber, line.baud, line.dataBits, line.parity, line.stopBits);
  return portOpen(devicePath, receiver_) != 0;
}

void EngineLink::close() { portClose(); }

bool EngineLink::isOpen() const { return portIsOpen() != 0; }

bool EngineLink::write(const std::uint8_t* bytes, std::size_t count) {
  return portWrite(bytes, count) != 0;
}

std::string EngineLink::failureReason() const { return portFailureReason(); }

}  // namespace tevra
