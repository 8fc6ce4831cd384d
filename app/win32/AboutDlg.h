#pragma once

#include <windows.h>

#include <string>

#include "app/win32/LinkLabel.h"

namespace tevra::win32 {

// Dialog 101: product, version, build date and the link to the maker's page.
class AboutDlg {
 public:
  explicit AboutDlg(HINSTANCE instance);
  ~AboutDlg();
  AboutDlg(const AboutDlg&) = delete;
  AboutDlg& operator=(const AboutDlg&) = delete;

  void setBuildDate(const std::string& text) { buildDate_ = text; }
  // Shows the dialog modally until OK or Escape.
  void run(HWND owner);

 private:
  static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
  void initDialog();
  void fitLink();

  HINSTANCE instance_;
  HWND dialog_ = nullptr;
  std::string buildDate_;
  LinkLabel link_;
  HFONT underlinedFont_ = nullptr;  // the link's, released with the dialog
};

}  // namespace tevra::win32
