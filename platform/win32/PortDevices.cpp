#include <string>

#include "core/Platform.h"

namespace tevra {

// The device namespace reaches every port number, also COM10 and above.
std::string defaultPortDevice(int portNumber) { return "\\\\.\\COM" + std::to_string(portNumber); }

}  // namespace tevra
