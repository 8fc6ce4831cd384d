#pragma once

#include <windows.h>

#include "core/SettingsStore.h"

namespace tevra::win32 {

// Dialog 102: the five line parameters as list positions (-1 = none).
class SettingsDlg {
 public:
  SettingsDlg(HINSTANCE instance, SettingsStore& store);

  // Bound to the lists: set before run(), read after OK.
  int port = -1;
  int baud = -1;
  int dataBits = -1;
  int parity = -1;
  int stopBits = -1;

  // Shows the dialog modally; true on OK.
  bool run(HWND owner);

 private:
  static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
  void fillLists();
  void readLists();
  void showPortDevice();

  HINSTANCE instance_;
  SettingsStore& store_;
  HWND dialog_ = nullptr;
};

}  // namespace tevra::win32
