#include "app/SettingsDlg.h"

#include <wx/choice.h>
#include <wx/stattext.h>
#include <wx/valgen.h>

#include "app/DialogTemplate.h"
#include "core/TerminalSettings.h"
#include "res/Dialogs.h"

namespace tevra::app {
namespace {

template <std::size_t N>
wxArrayString texts(const char* const (&names)[N]) {
  wxArrayString items;
  for (const char* name : names) items.Add(name);
  return items;
}

wxArrayString listItems(int id) {
  switch (id) {
    case res::kCtlPort: return texts(kPortNames);
    case res::kCtlBaud: return texts(kBaudNames);
    case res::kCtlDataBits: return texts(kDataBitsNames);
    case res::kCtlParity: return texts(kParityNames);
    case res::kCtlStopBits: return texts(kStopBitsNames);
    default: return {};
  }
}

}  // namespace

wxBEGIN_EVENT_TABLE(SettingsDlg, wxDialog)
  EVT_CHOICE(res::kCtlPort, SettingsDlg::onPortChosen)
  EVT_CHAR_HOOK(SettingsDlg::onCharHook)
wxEND_EVENT_TABLE()

SettingsDlg::SettingsDlg(wxWindow* parent, SettingsStore& store)
    : wxDialog(parent, wxID_ANY, res::kSettingsDialog.title), store_(store) {
  buildDialog(*this, res::kSettingsDialog, DialogContents{listItems, nullptr});
  const std::pair<int, int*> bindings[] = {
      {res::kCtlPort, &line.port},     {res::kCtlBaud, &line.baud},
      {res::kCtlDataBits, &line.dataBits}, {res::kCtlParity, &line.parity},
      {res::kCtlStopBits, &line.stopBits},
  };
  for (const auto& [id, value] : bindings) FindWindow(id)->SetValidator(wxGenericValidator(value));
  CentreOnParent();
}

bool SettingsDlg::TransferDataToWindow() {
  const bool transferred = wxDialog::TransferDataToWindow();
  showPortDevice();
  return transferred;
}

void SettingsDlg::onPortChosen(wxCommandEvent& event) {
  event.Skip();
  showPortDevice();
}

// Enter means OK wherever the focus is, as in any dialog with a default
// button; a GTK drop-down list would otherwise take it to open itself.
void SettingsDlg::onCharHook(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  if ((key != WXK_RETURN && key != WXK_NUMPAD_ENTER) || event.HasAnyModifiers()) {
    event.Skip();
    return;
  }
  wxCommandEvent ok(wxEVT_BUTTON, wxID_OK);
  ok.SetEventObject(FindWindow(wxID_OK));
  ProcessWindowEvent(ok);
}

// The device behind the chosen COM name, as the port would be opened.
void SettingsDlg::showPortDevice() {
  auto* label = static_cast<wxStaticText*>(FindWindow(res::kCtlPortDevice));
  const int selection = static_cast<wxChoice*>(FindWindow(res::kCtlPort))->GetSelection();
  wxString text;
  if (selection != wxNOT_FOUND) text = wxString::FromUTF8(portDevicePath(store_, selection + 1));
  label->SetLabel(text.empty() ? wxString() : "Device: " + text);
  label->SetToolTip(text);
}

}  // namespace tevra::app
