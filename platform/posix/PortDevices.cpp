#include <string>

#include "core/Platform.h"

namespace tevra {

// COM1-4 are the board's UARTs, COM5-8 USB adapters, COM9-12 USB modems.
std::string defaultPortDevice(int portNumber) {
  static constexpr const char* kDeviceFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
  constexpr int kPortsPerFamily = 4;
  const int index = portNumber - 1;
  return kDeviceFamilies[index / kPortsPerFamily] + std::to_string(index % kPortsPerFamily);
}

}  // namespace tevra
