#include "app/win32/TerminalApp.h"

#include "app/InstanceLock.h"
#include "res/Strings.h"

namespace tevra::win32 {
namespace {

constexpr const char* kRegistryKey = "Tevra Laboratory\\Orbel Software";

}  // namespace

TerminalApp::TerminalApp(HINSTANCE instance) : instance_(instance), window_(instance, store_) {}

TerminalApp::~TerminalApp() {
  if (instanceMutex_) CloseHandle(instanceMutex_);
}

int TerminalApp::run() {
  // No handle at all: carry on as the one copy.
  instanceMutex_ = CreateMutexA(nullptr, FALSE, app::kInstanceLockName);
  if (instanceMutex_ && GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  store_.setRegistryKey(kRegistryKey, res::kAppTitle);
  if (!window_.create()) return 1;

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace tevra::win32
