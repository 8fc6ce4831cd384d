#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include <wx/frame.h>
#include <wx/timer.h>

#include "app/RunReport.h"
#include "app/TerminalCanvas.h"
#include "core/FileSender.h"
#include "core/ScreenBuffer.h"
#include "core/SettingsStore.h"
#include "core/TerminalSession.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"
#include "core/Viewport.h"
#include "serial/EngineLink.h"
#include "serial/SerialPort.h"

namespace tevra::app {

class AboutDlg;

// The main window: the terminal's screen, menu and traffic. Holds the
// terminal core and, for its lifetime, the port engine.
class TerminalWnd : public wxFrame, public TerminalUi, public PortReceiver, private PortSink {
 public:
  explicit TerminalWnd(SettingsStore& store);
  ~TerminalWnd() override;

  // Creates the window, loads the settings, shows the window where it last
  // was, opens the port and creates the caret. False if the window failed.
  bool create();

  // Writes the run report (counters and state) when one is asked for.
  void writeReport();

  // TerminalUi
  void showError(const std::string& text) override;
  std::optional<std::string> chooseSaveFile(const std::string& initialPath,
                                            const std::string& defaultExtension,
                                            const std::string& filter) override;
  std::optional<std::string> chooseOpenFile(const std::string& initialPath,
                                            const std::string& filter) override;
  int startTimer(int id, int milliseconds) override;
  void killTimer(int id) override;
  void optionsChanged() override;

  // PortReceiver: any thread.
  void portWake() override;

 private:
  // Calls portInit() before anything can touch the engine and portTerm() after everything.
  struct PortEngineScope {
    PortEngineScope() { portInit(); }
    ~PortEngineScope() { portTerm(); }
  };

  // PortSink: the UI thread, from portDeliver().
  int onPortData(int count, const std::uint8_t* bytes) override;
  int onPortError() override;

  void buildMenuBar();
  void refreshCheckMarks();
  void trackRestoredRect();

  void onPortWake(wxThreadEvent& event);
  void onDeliveryTimer(wxTimerEvent& event);
  void deliverReceived();
  void onAbout(wxCommandEvent& event);
  void onSettings(wxCommandEvent& event);
  void onClearScreen(wxCommandEvent& event);
  void onEcho(wxCommandEvent& event);
  void onInCR(wxCommandEvent& event);
  void onOutCR(wxCommandEvent& event);
  void onCaptureFile(wxCommandEvent& event);
  void onCapture(wxCommandEvent& event);
  void onSendFile(wxCommandEvent& event);
  void onStopSending(wxCommandEvent& event);
  void onCloseCommand(wxCommandEvent& event);
  void onSendTimer(wxTimerEvent& event);
  void onHeartbeat(wxTimerEvent& event);
  std::int64_t longestHeartbeatGapUs() const;
  void onClose(wxCloseEvent& event);
  void onCharHook(wxKeyEvent& event);
  void onSize(wxSizeEvent& event);
  void onMove(wxMoveEvent& event);

  PortEngineScope engine_;
  SettingsStore& store_;
  RunCounters counters_;
  TerminalSettings settings_;
  ScreenBuffer screen_{settings_.termInCR};
  EngineLink link_{this};
  TerminalSession session_{settings_, screen_, link_, store_, *this};
  FileSender sender_{settings_, screen_, link_, *this};
  TerminalCanvas* canvas_ = nullptr;  // a child window, deleted by the toolkit
  AboutDlg* about_ = nullptr;  // while the About box is open
  std::optional<wxSize> sizeWhenDecorated_;  // the stored size, asked for again once the frame's size is known
  std::unique_ptr<Viewport> viewport_;
  wxTimer sendTimer_;
  wxTimer deliveryTimer_;
  bool deliveryHeld_ = false;  // a wake-up waits on deliveryTimer_ for the next frame
  wxTimer heartbeatTimer_;
  std::chrono::steady_clock::time_point lastHeartbeat_;
  wxRect restoredRect_;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace tevra::app
