#include <windows.h>

#include "app/win32/TerminalApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
  tevra::win32::TerminalApp app(instance);
  return app.run();
}
