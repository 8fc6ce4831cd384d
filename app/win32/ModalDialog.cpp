#include "app/win32/ModalDialog.h"

#include <algorithm>
#include <exception>

#include "app/win32/ResourceStrings.h"

namespace tevra::win32 {
namespace {

// Centres a dialog on its owner window, inside the owner's monitor's work area.
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

}  // namespace

INT_PTR ModalDialog::runModal(HWND owner) {
  return DialogBoxParamA(instance_, MAKEINTRESOURCEA(templateId_), owner, dialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK ModalDialog::dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<ModalDialog*>(lParam);
    self->dialog_ = dialog;
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
  }
  auto* self = reinterpret_cast<ModalDialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
  if (!self) return FALSE;
  // Nothing thrown may unwind through the system's dialog code: an error box instead.
  try {
    const INT_PTR result = self->handle(message, wParam, lParam);
    if (message == WM_INITDIALOG) centreOnOwner(dialog);
    return result;
  } catch (const std::exception& error) {
    showStopBox(self->instance_, dialog, error.what());
    return FALSE;
  }
}

}  // namespace tevra::win32
