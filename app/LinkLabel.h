#pragma once

#include <wx/generic/stattextg.h>

namespace tevra::app {

// A web address shown as a link: blue, underlined, on the button face; a
// click opens it in the desktop's browser. A window of its own (a GTK label
// has none), so it hears the mouse.
class LinkLabel : public wxGenericStaticText {
 public:
  LinkLabel(wxWindow* parent, wxWindowID id, const wxString& address);

  const wxString& address() const { return address_; }

  // Hands the address to the desktop's opener; nothing when it is empty.
  void open() const;

 private:
  void onLeftUp(wxMouseEvent& event);

  wxString address_;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace tevra::app
