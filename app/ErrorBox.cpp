#include "app/ErrorBox.h"

#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>

#include "res/Strings.h"

namespace tevra::app {

void showErrorBox(wxWindow* parent, const wxString& text) {
  wxGenericMessageDialog box(parent, text, res::kAppTitle, wxOK | wxICON_ERROR);
  box.ShowModal();
}

}  // namespace tevra::app
