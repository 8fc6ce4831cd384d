#pragma once

#include <windows.h>

#include <string>

#include "app/win32/LinkLabel.h"
#include "app/win32/ModalDialog.h"

namespace tevra::win32 {

// Dialog 101: product, version, build date and the link to the maker's page.
class AboutDlg : public ModalDialog {
 public:
  explicit AboutDlg(HINSTANCE instance);
  ~AboutDlg() override;

  void setBuildDate(const std::string& text) { buildDate_ = text; }
  // Shows the dialog modally until OK or Escape.
  void run(HWND owner);

 private:
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam) override;
  void initDialog();
  void fitLink();

  std::string buildDate_;
  LinkLabel link_;
  HFONT underlinedFont_ = nullptr;  // the link's, released with the dialog
};

}  // namespace tevra::win32
