#pragma once

#include <wx/string.h>
#include <wx/window.h>

namespace tevra::app {

// The program's error box: the stop icon, `text`, an OK button, titled
// "Terminal". GTK's own message box no longer shows an icon, so this is
// wx's generic one, whose icon comes from the desktop's icon theme.
void showErrorBox(wxWindow* parent, const wxString& text);

}  // namespace tevra::app
