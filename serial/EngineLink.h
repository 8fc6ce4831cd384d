#pragma once

#include "core/SerialLink.h"
#include "serial/SerialPort.h"

namespace tevra {

// The core's SerialLink over the global port engine.
class EngineLink : public SerialLink {
 public:
  explicit EngineLink(PortReceiver* receiver);
  bool open(const LineParameters& line, const std::string& devicePath) override;
  void close() override;
  bool isOpen() const override;
  bool write(const std::uint8_t* bytes, std::size_t count) override;
  std::string failureReason() const override;

 private:
  PortReceiver* receiver_;
};

}  // namespace tevra
