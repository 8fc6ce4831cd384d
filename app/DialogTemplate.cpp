#include "app/DialogTemplate.h"

#include <algorithm>

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

namespace tevra::app {
namespace {

// The closed height of a drop-down list, in dialog units.
constexpr int kClosedListHeight = 12;

// Places `control` in `box` (pixels): the box's width; its height unless the
// control needs more, centred vertically on the box either way.
void place(wxWindow* control, const wxRect& box) {
  const int height = std::max(box.height, control->GetBestSize().y);
  control->SetSize(box.x, box.y + (box.height - height) / 2, box.width, height);
}

}  // namespace

int wxIdForControl(int id) {
  switch (id) {
    case res::kCtlStatic: return wxID_ANY;
    case res::kCtlOk: return wxID_OK;
    case res::kCtlCancel: return wxID_CANCEL;
    default: return id;
  }
}

void buildDialog(wxDialog& dialog, const res::DialogDef& def, const DialogContents& contents) {
  dialog.SetClientSize(dialog.ConvertDialogToPixels(wxSize(def.width, def.height)));
  for (const res::ControlDef& control : def.controls) {
    const int id = wxIdForControl(control.id);
    const wxString text = wxString::FromUTF8(control.text ? control.text : "");
    const wxPoint origin = dialog.ConvertDialogToPixels(wxPoint(control.x, control.y));
    const wxSize size = dialog.ConvertDialogToPixels(wxSize(control.w, control.h));
    const wxRect box(origin, size);
    switch (control.kind) {
      case res::ControlKind::GroupBox:
        new wxStaticBox(&dialog, id, text, origin, size);
        break;
      case res::ControlKind::Label: {
        // A fixed label keeps its whole text; one filled in later stays in its box.
        const bool fixed = !text.empty();
        auto* label = new wxStaticText(&dialog, id, text, origin, wxDefaultSize,
                                       fixed ? 0 : wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_MIDDLE);
        place(label, fixed ? wxRect(box.x, box.y, std::max(box.width, label->GetBestSize().x), box.height) : box);
        break;
      }
      case res::ControlKind::Text:
        new wxStaticText(&dialog, id, text, origin, size, wxST_NO_AUTORESIZE);
        break;
      case res::ControlKind::DropDownList: {
        const wxArrayString items = contents.listItems ? contents.listItems(control.id) : wxArrayString();
        auto* list = new wxChoice(&dialog, id, origin, wxDefaultSize, items);
        const wxSize closed = dialog.ConvertDialogToPixels(wxSize(control.w, kClosedListHeight));
        place(list, wxRect(origin, closed));
        break;
      }
      case res::ControlKind::Button:
      case res::ControlKind::DefaultButton: {
        auto* button = new wxButton(&dialog, id, text, origin);
        place(button, box);
        if (control.kind == res::ControlKind::DefaultButton) button->SetDefault();
        break;
      }
      case res::ControlKind::Picture:
      case res::ControlKind::Link:
        if (contents.makeSpecial) {
          if (wxWindow* window = contents.makeSpecial(&dialog, control)) window->SetSize(box);
        }
        break;
    }
  }
}

}  // namespace tevra::app
