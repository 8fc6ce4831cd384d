#pragma once

#include <windows.h>

#include "app/win32/ModalDialog.h"
#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"

namespace tevra::win32 {

// Dialog 102: the five line parameters as list positions (-1 = none).
class SettingsDlg : public ModalDialog {
 public:
  SettingsDlg(HINSTANCE instance, SettingsStore& store);

  // Bound to the lists: set before run(), read after OK.
  LineIndices line{-1, -1, -1, -1, -1};

  // Shows the dialog modally; true on OK.
  bool run(HWND owner);

 private:
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam) override;
  void fillLists();
  void readLists();
  void showPortDevice();

  SettingsStore& store_;
};

}  // namespace tevra::win32
