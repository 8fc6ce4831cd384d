#pragma once

#include <wx/dialog.h>

#include "core/SettingsStore.h"

namespace tevra::app {

// Dialog 102: the five line parameters as list positions (-1 = none).
class SettingsDlg : public wxDialog {
 public:
  SettingsDlg(wxWindow* parent, SettingsStore& store);

  // Bound to the lists: set before ShowModal(), read after OK.
  int port = -1;
  int baud = -1;
  int dataBits = -1;
  int parity = -1;
  int stopBits = -1;

  bool TransferDataToWindow() override;

 private:
  void onPortChosen(wxCommandEvent& event);
  void onCharHook(wxKeyEvent& event);
  void showPortDevice();

  SettingsStore& store_;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace tevra::app
