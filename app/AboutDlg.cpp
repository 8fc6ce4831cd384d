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

// The box's margins right of and below its controls, in dialog units (the OK
// button's in the template), and the gap kept between the link and the button.
constexpr int kRightMargin = 6;
constexpr int kBottomMargin = 8;
constexpr int kGap = 4;

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
  layOutLink();
  CentreOnParent();
}

// The address shows whole. When it reaches the OK button, the button moves
// below it, and the box widens if the address needs more room.
void AboutDlg::layOutLink() {
  wxWindow* link = FindWindow(res::kCtlLink);
  wxWindow* ok = FindWindow(wxID_OK);
  const wxSize margin = ConvertDialogToPixels(wxSize(kRightMargin, kBottomMargin));
  const int gap = ConvertDialogToPixels(wxSize(kGap, 0)).x;
  link->SetSize(wxSize(std::max(link->GetBestSize().x, link->GetSize().x), link->GetSize().y));
  const wxRect linkBox = link->GetRect();
  if (linkBox.GetRight() + gap < ok->GetPosition().x) return;

  wxSize client = GetClientSize();
  client.x = std::max(client.x, linkBox.GetRight() + 1 + margin.x);
  const wxPoint okPlace(client.x - margin.x - ok->GetSize().x, linkBox.GetBottom() + 1 + gap);
  ok->Move(okPlace);
  client.y = std::max(client.y, okPlace.y + ok->GetSize().y + margin.y);
  SetClientSize(client);
}

wxRect AboutDlg::linkScreenRect() const {
  const wxWindow* link = FindWindow(res::kCtlLink);
  return wxRect(link->GetScreenPosition(), link->GetSize());
}

int AboutDlg::linkTextWidth() const { return FindWindow(res::kCtlLink)->GetBestSize().x; }

void AboutDlg::setBuildDate(const wxString& text) { FindWindow(res::kCtlBuildDate)->SetLabel(text); }

}  // namespace tevra::app
