#include "app/TerminalApp.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include <wx/log.h>

#include "app/ErrorBox.h"
#include "app/TerminalWnd.h"
#include "app/UserPaths.h"
#include "res/Strings.h"

namespace tevra::app {
namespace {

// A run without anyone to answer a dialog must not hang on one: print the
// failed assertion and stop.
void failLoudly(const wxString& file, int line, const wxString& function, const wxString& condition,
                const wxString& message) {
  std::fprintf(stderr, "%s:%d: %s: assertion \"%s\" failed: %s\n", static_cast<const char*>(file.utf8_str()),
               line, static_cast<const char*>(function.utf8_str()),
               static_cast<const char*>(condition.utf8_str()), static_cast<const char*>(message.utf8_str()));
  std::abort();
}

}  // namespace

bool TerminalApp::OnInit() {
  delete wxLog::SetActiveTarget(new wxLogStderr);
  wxSetAssertHandler(failLoudly);

  lock_ = std::make_unique<InstanceLock>(runtimeFolder());
  if (lock_->state() == InstanceLock::State::HeldByOther) {
    foundOtherCopy_ = true;
    return false;
  }
  store_ = std::make_unique<FileSettingsStore>();

  window_ = new TerminalWnd(*store_);
  SetSignalHandler(SIGUSR1, onReportSignal);
  if (!window_->create()) return false;
  SetTopWindow(window_);
  return true;
}

int TerminalApp::OnExit() {
  window_ = nullptr;
  if (store_) store_->flush();
  lock_.reset();
  return wxApp::OnExit();
}

bool TerminalApp::OnExceptionInMainLoop() {
  try {
    throw;
  } catch (const std::exception& error) {
    showErrorBox(nullptr, wxString::FromUTF8(error.what()));
  }
  return true;
}

void TerminalApp::onReportSignal(int /*signal*/) {
  if (auto* window = wxGetApp().window_) window->writeReport();
}

}  // namespace tevra::app
