#include "app/win32/SettingsDlg.h"

#include <span>
#include <string>
#include <utility>

#include "core/TerminalSettings.h"
#include "res/Dialogs.h"
#include "res/ResourceIds.h"

namespace tevra::win32 {
namespace {

std::span<const char* const> listItems(int id) {
  switch (id) {
    case res::kCtlPort: return kPortNames;
    case res::kCtlBaud: return kBaudNames;
    case res::kCtlDataBits: return kDataBitsNames;
    case res::kCtlParity: return kParityNames;
    case res::kCtlStopBits: return kStopBitsNames;
    default: return {};
  }
}

}  // namespace

SettingsDlg::SettingsDlg(HINSTANCE instance, SettingsStore& store)
    : ModalDialog(instance, res::kDialogSettings), store_(store) {}

bool SettingsDlg::run(HWND owner) { return runModal(owner) == IDOK; }

INT_PTR SettingsDlg::handle(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      fillLists();
      showPortDevice();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case res::kCtlOk:
          readLists();
          EndDialog(dialog_, IDOK);
          return TRUE;
        case res::kCtlCancel:
          EndDialog(dialog_, IDCANCEL);
          return TRUE;
        case res::kCtlPort:
          if (HIWORD(wParam) == CBN_SELCHANGE) showPortDevice();
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

void SettingsDlg::fillLists() {
  const std::pair<int, int> bindings[] = {
      {res::kCtlPort, line.port},     {res::kCtlBaud, line.baud},
      {res::kCtlDataBits, line.dataBits}, {res::kCtlParity, line.parity},
      {res::kCtlStopBits, line.stopBits},
  };
  for (const auto& [id, position] : bindings) {
    for (const char* item : listItems(id)) {
      SendDlgItemMessageA(dialog_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    SendDlgItemMessageA(dialog_, id, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
  }
}

void SettingsDlg::readLists() {
  const std::pair<int, int*> bindings[] = {
      {res::kCtlPort, &line.port},     {res::kCtlBaud, &line.baud},
      {res::kCtlDataBits, &line.dataBits}, {res::kCtlParity, &line.parity},
      {res::kCtlStopBits, &line.stopBits},
  };
  for (const auto& [id, position] : bindings) {
    *position = static_cast<int>(SendDlgItemMessageA(dialog_, id, CB_GETCURSEL, 0, 0));
  }
}

// The device behind the chosen COM name, as the port would be opened.
void SettingsDlg::showPortDevice() {
  const auto selection = static_cast<int>(SendDlgItemMessageA(dialog_, res::kCtlPort, CB_GETCURSEL, 0, 0));
  std::string text;
  if (selection != CB_ERR) text = portDevicePath(store_, selection + 1);
  if (!text.empty()) text = "Device: " + text;
  SetDlgItemTextA(dialog_, res::kCtlPortDevice, text.c_str());
}

}  // namespace tevra::win32
