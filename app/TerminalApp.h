#pragma once

#include <memory>

#include <wx/app.h>

#include "app/FileSettingsStore.h"
#include "app/InstanceLock.h"

namespace tevra::app {

class TerminalWnd;

// The program: one copy per user, the settings store, the main window.
class TerminalApp : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override;
  // A file failure thrown out of a handler becomes an error box; the program goes on.
  bool OnExceptionInMainLoop() override;

  // True once start-up found another copy running: the process ends quietly, with 0.
  static bool foundOtherCopy() { return foundOtherCopy_; }

 private:
  static void onReportSignal(int signal);

  static inline bool foundOtherCopy_ = false;
  std::unique_ptr<InstanceLock> lock_;
  std::unique_ptr<FileSettingsStore> store_;
  TerminalWnd* window_ = nullptr;  // deleted by the toolkit when it closes
};

}  // namespace tevra::app

wxDECLARE_APP(tevra::app::TerminalApp);
