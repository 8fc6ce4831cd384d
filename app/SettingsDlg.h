#pragma once

#include <wx/dialog.h>

#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"

namespace tevra::app {

// Dialog 102: the five line parameters as list positions (-1 = none).
class SettingsDlg : public wxDialog {
 public:
  SettingsDlg(wxWindow* parent, SettingsStore& store);

  // Bound to the lists: set before ShowModal(), read after OK.
  LineIndices line{-1, -1, -1, -1, -1};

  bool TransferDataToWindow() override;

 private:
  void onPortChosen(wxCommandEvent& event);
  void onCharHook(wxKeyEvent& event);
  void showPortDevice();

  SettingsStore& store_;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace tevra::app
