#include <csignal>
#include <cstdlib>

#include "app/TerminalApp.h"

wxIMPLEMENT_APP_NO_MAIN(tevra::app::TerminalApp);

int main(int argc, char** argv) {
  // A capture FIFO whose reader went away fails the write with EPIPE (reported
  // like any write failure) instead of ending the program.
  std::signal(SIGPIPE, SIG_IGN);
  // Classic scroll bars that stay visible; GTK reads this once, when it starts.
  setenv("GTK_OVERLAY_SCROLLING", "0", 1);
  const int exitCode = wxEntry(argc, argv);
  return tevra::app::TerminalApp::foundOtherCopy() ? 0 : exitCode;
}
