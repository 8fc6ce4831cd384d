#include "app/LinkLabel.h"

#include <wx/settings.h>
#include <wx/utils.h>

namespace tevra::app {

wxBEGIN_EVENT_TABLE(LinkLabel, wxGenericStaticText)
  EVT_LEFT_UP(LinkLabel::onLeftUp)
wxEND_EVENT_TABLE()

LinkLabel::LinkLabel(wxWindow* parent, wxWindowID id, const wxString& address)
    : wxGenericStaticText(parent, id, address), address_(address) {
  SetForegroundColour(wxColour(0, 0, 255));
  SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));
  SetFont(GetFont().Underlined());
  SetCursor(wxCursor(wxCURSOR_HAND));
}

void LinkLabel::open() const {
  if (address_.empty()) return;
  wxLaunchDefaultBrowser(address_);
}

void LinkLabel::onLeftUp(wxMouseEvent& event) {
  event.Skip();
  open();
}

}  // namespace tevra::app
