// TEMPORARY stand-in for the Windows side of the port engine (serial/win32/),
// so the Windows program links the engine's platform-neutral half before that
// side exists: every open fails (the program then runs without a port, as
// after any failed open). Dropped when serial/win32/ lands.
#include "serial/PortEngine.h"

namespace tevra {

int portOpen(const std::string& devicePath, PortReceiver* /*receiver*/) {
  portTerm();
  failOpenWith(g_port, devicePath, "no serial engine in this build");
  return 0;
}

void portClose() {}

bool wakeWriter(PortRecord& /*port*/) { return false; }

int portRead(std::uint8_t* /*buffer*/, std::size_t /*max*/) { return -1; }

int ReaderThread(PortRecord* /*record*/) { return 0; }

}  // namespace tevra
