#pragma once

#include <functional>

#include <wx/dialog.h>

#include "res/Dialogs.h"

namespace tevra::app {

// The wx identifier of a dialog template's control identifier.
int wxIdForControl(int id);

// What the template cannot say: the items of a drop-down list and the
// window that stands for a picture or a link.
struct DialogContents {
  std::function<wxArrayString(int id)> listItems;
  std::function<wxWindow*(wxWindow* parent, const res::ControlDef& def)> makeSpecial;
};

// Sizes `dialog` and creates its controls from `def`, in table order (the
// tab order), converting dialog units with the dialog's own font. A control
// the toolkit draws taller than its box keeps its own height, centred on the box.
void buildDialog(wxDialog& dialog, const res::DialogDef& def, const DialogContents& contents);

}  // namespace tevra::app
