#include "app/AboutDlg.h"

#include <algorithm>

#include <wx/panel.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "app/DialogTemplate.h"
#include "app/LinkLabel.h"
#include "res/Dialogs.h"
#include "res/images/bitmap_105.xpm"

namespace tevra::app {
namespace {

// Where the link's text must end at the latest: the OK button's left edge, in dialog units.
constexpr int kLinkRightEdge = 180;

// Bitmap 105 centred in a sunken frame.
wxWindow* makePicture(wxWindow* parent, const res::ControlDef& def) {
  auto* frame = new wxPanel(parent, wxID_ANY, wxDefaultPosition,
                            parent->ConvertDialogToPixels(wxSize(def.w, def.h)), wxBORDER_SUNKEN);
  const wxBitmap bitmap(kBitmap105Xpm);
  const wxSize inside = frame->GetClientSize();
  new wxStaticBitmap(frame, wxID_ANY, bitmap,
                     wxPoint((inside.x - bitmap.GetWidth()) / 2, (inside.y - bitmap.GetHeight()) / 2));
  return frame;
}

}  // namespace

AboutDlg::AboutDlg(wxWindow* parent, const wxString& linkAddress)
    : wxDialog(parent, wxID_ANY, res::kAboutDialog.title) {
  buildDialog(*this, res::kAboutDialog,
              DialogContents{nullptr, [&](wxWindow* dialog, const res::ControlDef& def) -> wxWindow* {
                               if (def.kind == res::ControlKind::Picture) return makePicture(dialog, def);
                               return new LinkLabel(dialog, wxIdForControl(def.id), linkAddress);
                             }});
  // The address keeps its whole text as far as the OK button.
  wxWindow* link = FindWindow(res::kCtlLink);
  const int room = ConvertDialogToPixels(wxSize(kLinkRightEdge, 0)).x - link->GetPosition().x;
  link->SetSize(wxSize(std::clamp(link->GetBestSize().x, link->GetSize().x, room), link->GetSize().y));
  CentreOnParent();
}

void AboutDlg::setBuildDate(const wxString& text) { FindWindow(res::kCtlBuildDate)->SetLabel(text); }

}  // namespace tevra::app
