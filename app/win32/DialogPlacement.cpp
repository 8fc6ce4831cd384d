#include "app/win32/DialogPlacement.h"

#include <algorithm>

namespace tevra::win32 {

void centreOnOwner(HWND dialog) {
  HWND owner = GetWindow(dialog, GW_OWNER);
  if (!owner) return;
  RECT ownerBox;
  RECT box;
  GetWindowRect(owner, &ownerBox);
  GetWindowRect(dialog, &box);
  const LONG width = box.right - box.left;
  const LONG height = box.bottom - box.top;
  LONG x = ownerBox.left + (ownerBox.right - ownerBox.left - width) / 2;
  LONG y = ownerBox.top + (ownerBox.bottom - ownerBox.top - height) / 2;

  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (GetMonitorInfoA(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
    const RECT& work = monitor.rcWork;
    x = std::clamp(x, work.left, std::max(work.left, work.right - width));
    y = std::clamp(y, work.top, std::max(work.top, work.bottom - height));
  }
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace tevra::win32
