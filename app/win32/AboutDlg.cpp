#include "app/win32/AboutDlg.h"

#include <algorithm>

#include "app/win32/ResourceStrings.h"
#include "res/Dialogs.h"
#include "res/ResourceIds.h"
#include "res/Strings.h"

namespace tevra::win32 {

AboutDlg::AboutDlg(HINSTANCE instance) : ModalDialog(instance, res::kDialogAbout) {}

AboutDlg::~AboutDlg() {
  if (underlinedFont_) DeleteObject(underlinedFont_);
}

void AboutDlg::run(HWND owner) { runModal(owner); }

INT_PTR AboutDlg::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      initDialog();
      return TRUE;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == link_.handle()) {
        return LinkLabel::reflect(link_.handle(), message, wParam, lParam);
      }
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case res::kCtlOk:
        case IDCANCEL:
          EndDialog(dialog_, IDOK);
          return TRUE;
        case res::kCtlLink:
          LinkLabel::reflect(link_.handle(), message, wParam, lParam);
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

void AboutDlg::initDialog() {
  SetDlgItemTextA(dialog_, res::kCtlBuildDate, buildDate_.c_str());

  HWND label = GetDlgItem(dialog_, res::kCtlLink);
  LOGFONTA face{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0)), sizeof face, &face);
  face.lfUnderline = TRUE;
  underlinedFont_ = CreateFontIndirectA(&face);
  SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(underlinedFont_), FALSE);
  link_.attach(label, loadResourceString(instance_, res::kIdsLinkAddress));
  fitLink();
}

// The address keeps its whole text as far as the OK button.
void AboutDlg::fitLink() {
  HWND label = link_.handle();
  RECT box;
  GetWindowRect(label, &box);
  MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&box), 2);
  RECT ok;
  GetWindowRect(GetDlgItem(dialog_, res::kCtlOk), &ok);
  MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&ok), 2);
  RECT gap{0, 0, 4, 0};  // dialog units between the link and the button
  MapDialogRect(dialog_, &gap);

  char text[256];
  const int length = GetWindowTextA(label, text, sizeof text);
  HDC dc = GetDC(label);
  HGDIOBJ previous = SelectObject(dc, underlinedFont_);
  SIZE extent{};
  GetTextExtentPoint32A(dc, text, length, &extent);
  SelectObject(dc, previous);
  ReleaseDC(label, dc);

  const int width = box.right - box.left;
  const int room = std::max(width, static_cast<int>(ok.left - gap.right - box.left));
  SetWindowPos(label, nullptr, 0, 0, std::clamp(static_cast<int>(extent.cx), width, room),
               box.bottom - box.top, SWP_NOMOVE | SWP_NOZORDER);
}

}  // namespace tevra::win32
