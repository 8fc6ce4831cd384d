#pragma once

#include <wx/dialog.h>

namespace tevra::app {

// Dialog 101: product name, version, build date, maker and web link.
class AboutDlg : public wxDialog {
 public:
  AboutDlg(wxWindow* parent, const wxString& linkAddress);

  void setBuildDate(const wxString& text);

  // Where the link is on the screen, and how wide its whole text is.
  wxRect linkScreenRect() const;
  int linkTextWidth() const;

 private:
  void layOutLink();
};

}  // namespace tevra::app
