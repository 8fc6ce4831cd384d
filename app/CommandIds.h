#pragma once

#include <wx/defs.h>

// The one place where the program's command numbers (40002-40024) meet wx
// identifiers, which must stay below 32767.
namespace tevra::app {

constexpr int kFirstCommand = 40000;
constexpr int kLastCommand = 40099;

constexpr int wxIdForCommand(int command) { return wxID_HIGHEST + 1 + (command - kFirstCommand); }
constexpr int commandForWxId(int id) { return id - (wxID_HIGHEST + 1) + kFirstCommand; }

static_assert(wxIdForCommand(kLastCommand) < 32767);

}  // namespace tevra::app
