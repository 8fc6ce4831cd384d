#pragma once

#include <windows.h>

#include "app/win32/RegistrySettingsStore.h"
#include "app/win32/TerminalWnd.h"

namespace tevra::win32 {

// The program: one copy at a time, the settings in the registry, the main window.
class TerminalApp {
 public:
  explicit TerminalApp(HINSTANCE instance);
  // Releases the single-instance mutex first, then the window goes (port closed).
  ~TerminalApp();
  TerminalApp(const TerminalApp&) = delete;
  TerminalApp& operator=(const TerminalApp&) = delete;

  // Start-up and the message loop; the process's exit code. Another copy
  // running ends it at once with 0, without a window.
  int run();

 private:
  HINSTANCE instance_;
  HANDLE instanceMutex_ = nullptr;
  RegistrySettingsStore store_;
  TerminalWnd window_;
};

}  // namespace tevra::win32
