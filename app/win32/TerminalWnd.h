#pragma once

#include <windows.h>

#include "core/FileSender.h"
#include "core/ScreenBuffer.h"
#include "core/SettingsStore.h"
#include "core/TerminalSession.h"
#include "core/TerminalSettings.h"
#include "core/TerminalUi.h"
#include "core/Viewport.h"
#include "serial/EngineLink.h"
#include "serial/SerialPort.h"

namespace tevra::win32 {

// The main window: the terminal's screen, menu and traffic. Holds the
// terminal core and, for its lifetime, the port engine. The window itself is
// the view's ViewWindow: its own scroll bars, scrolling, invalidation, caret.
class TerminalWnd : public TerminalUi, public ViewWindow, public PortReceiver, private PortSink {
 public:
  TerminalWnd(HINSTANCE instance, SettingsStore& store);
  ~TerminalWnd() override;
  TerminalWnd(const TerminalWnd&) = delete;
  TerminalWnd& operator=(const TerminalWnd&) = delete;

  // Registers the window class and creates the window, which runs the
  // creation sequence (shown where it last was, port opened, caret). False
  // if the window could not be created.
  bool create();

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

  // ViewWindow
  void setScrollRange(ScrollBar bar, int min, int max, bool redraw) override;
  void setScrollPos(ScrollBar bar, int pos, bool redraw) override;
  void scrollContents(int dx, int dy) override;
  void invalidateRect(const Rect& rect, bool erase) override;
  void invalidateAll(bool erase) override;
  void createCaret(int width, int height) override;
  void setCaretPos(int x, int y) override;
  void showCaret() override;
  void hideCaret() override;
  void destroyCaret() override;

  // PortReceiver: any thread. Posts WM_PORT_DATA; the window then takes the blocks.
  void portWake() override;

 private:
  // Calls portInit() before anything can touch the engine and portTerm() after everything.
  struct PortEngineScope {
    PortEngineScope() { portInit(); }
    ~PortEngineScope() { portTerm(); }
  };

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  bool onCommand(int command);

  // PortSink: the UI thread, from portDeliver().
  int onPortData(int count, const std::uint8_t* bytes) override;
  int onPortError() override;

  LRESULT onCreate(UINT message, WPARAM wParam, LPARAM lParam);
  void onPaint();
  void deliverReceived();
  void refreshCheckMarks();
  void showAbout();
  void showSettings();
  // The window's rectangle when neither maximised nor minimised, for the settings.
  WindowRect restoredRect() const;

  PortEngineScope engine_;
  HINSTANCE instance_;
  SettingsStore& store_;
  TerminalSettings settings_;
  ScreenBuffer screen_{settings_.termInCR};
  EngineLink link_{this};
  TerminalSession session_{settings_, screen_, link_, store_, *this};
  FileSender sender_{settings_, screen_, link_, *this};
  Viewport viewport_{screen_, *this, [this] { return link_.isOpen(); }};
  HWND window_ = nullptr;
  // The window the reader's wakes go to: set before the port can open, then
  // never changed (a wake after the window has gone fails harmlessly).
  HWND wakeTarget_ = nullptr;
  HFONT font_ = nullptr;
  DWORD uiThread_ = 0;
};

}  // namespace tevra::win32
