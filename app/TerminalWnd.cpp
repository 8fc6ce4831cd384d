#include "app/TerminalWnd.h"

#include <dlfcn.h>

#include <algorithm>

#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/menu.h>

#include "app/AboutDlg.h"
#include "app/CommandIds.h"
#include "app/ErrorBox.h"
#include "app/SettingsDlg.h"
#include "res/Menus.h"
#include "res/ResourceIds.h"
#include "res/Strings.h"
#include "res/images/icon_103.xpm"

namespace tevra::app {
namespace {

constexpr int kCreationWidth = 600;
constexpr int kCreationHeight = 360;
constexpr int kCreationLeft = 20;
constexpr int kCreationTop = 20;
// The smallest screen the window can be sized to: below about four rows GTK's
// scroll bars no longer fit beside each other and it complains on stderr.
const wxSize kMinimumClientSize(16 * kCellWidth, 5 * kCellHeight);

// The chooser filter as wx wants it: without the final empty pair.
wxString chooserFilter(const std::string& filter) {
  wxString wildcard = wxString::FromUTF8(filter);
  while (wildcard.EndsWith("|")) wildcard.RemoveLast();
  return wildcard;
}

std::string toUtf8(const wxString& text) { return std::string(text.utf8_str()); }

// GTK gives its file chooser a size from the font, 1096 x 822 pixels here,
// whatever the screen: taller than many. This one where the screen has room.
const wxSize kChooserSize(800, 600);

// wx cannot size a GTK file chooser (its SetSize does nothing): ask GTK,
// which wx has loaded, directly.
void placeGtkWindow(void* gtkWindow, const wxRect& place) {
  using Call = void (*)(void*, int, int);
  static const auto resize = reinterpret_cast<Call>(dlsym(RTLD_DEFAULT, "gtk_window_resize"));
  static const auto move = reinterpret_cast<Call>(dlsym(RTLD_DEFAULT, "gtk_window_move"));
  if (!gtkWindow || !resize || !move) return;
  resize(gtkWindow, place.width, place.height);
  move(gtkWindow, place.x, place.y);
}

// A file chooser titled with what it is for (the menu item that opened it),
// no larger than most of the screen its owner is on, centred over the owner.
void fitChooser(wxFileDialog& chooser, const wxWindow& owner, int command) {
  chooser.SetTitle(wxString::FromUTF8(res::commandWords(command)));
  const int screen = wxDisplay::GetFromWindow(&owner);
  const wxRect area = wxDisplay(screen == wxNOT_FOUND ? 0u : static_cast<unsigned>(screen)).GetClientArea();
  wxSize size = kChooserSize;
  size.DecTo(wxSize(area.width * 9 / 10, area.height * 9 / 10));
  wxRect place = wxRect(size).CentreIn(owner.GetScreenRect());
  place.SetPosition(wxPoint(std::clamp(place.x, area.x, area.GetRight() + 1 - place.width),
                            std::clamp(place.y, area.y, area.GetBottom() + 1 - place.height)));
  // GTK sizes its chooser itself as it maps it: place it just after.
  chooser.Bind(wxEVT_SHOW, [&chooser, place](wxShowEvent& event) {
    event.Skip();
    if (event.IsShown()) chooser.CallAfter([&chooser, place] { placeGtkWindow(chooser.GetHandle(), place); });
  });
}

// Resumes delivering received blocks after the toolkit has had its turn.
constexpr int kDeliveryTimerId = res::kSendTimerId + 1;
// Measures how long the window goes without running its timers (TEVRA_HEARTBEAT_MS).
constexpr int kHeartbeatTimerId = res::kSendTimerId + 2;

}  // namespace

wxBEGIN_EVENT_TABLE(TerminalWnd, wxFrame)
  EVT_THREAD(wxID_ANY, TerminalWnd::onPortWake)
  EVT_MENU(wxIdForCommand(res::kCmdAbout), TerminalWnd::onAbout)
  EVT_MENU(wxIdForCommand(res::kCmdSettings), TerminalWnd::onSettings)
  EVT_MENU(wxIdForCommand(res::kCmdClearScreen), TerminalWnd::onClearScreen)
  EVT_MENU(wxIdForCommand(res::kCmdEcho), TerminalWnd::onEcho)
  EVT_MENU(wxIdForCommand(res::kCmdInCR), TerminalWnd::onInCR)
  EVT_MENU(wxIdForCommand(res::kCmdOutCR), TerminalWnd::onOutCR)
  EVT_MENU(wxIdForCommand(res::kCmdCaptureFile), TerminalWnd::onCaptureFile)
  EVT_MENU(wxIdForCommand(res::kCmdCapture), TerminalWnd::onCapture)
  EVT_MENU(wxIdForCommand(res::kCmdSendFile), TerminalWnd::onSendFile)
  EVT_MENU(wxIdForCommand(res::kCmdStopSending), TerminalWnd::onStopSending)
  EVT_MENU(wxIdForCommand(res::kCmdClose), TerminalWnd::onCloseCommand)
  EVT_TIMER(res::kSendTimerId, TerminalWnd::onSendTimer)
  EVT_TIMER(kDeliveryTimerId, TerminalWnd::onDeliveryTimer)
  EVT_TIMER(kHeartbeatTimerId, TerminalWnd::onHeartbeat)
  EVT_CLOSE(TerminalWnd::onClose)
  EVT_CHAR_HOOK(TerminalWnd::onCharHook)
  EVT_SIZE(TerminalWnd::onSize)
  EVT_MOVE(TerminalWnd::onMove)
wxEND_EVENT_TABLE()

TerminalWnd::TerminalWnd(SettingsStore& store)
    : store_(store),
      sendTimer_(this, res::kSendTimerId),
      deliveryTimer_(this, kDeliveryTimerId),
      heartbeatTimer_(this, kHeartbeatTimerId) {}

// The canvas outlives the members (the toolkit deletes it with the frame),
// and focus events still reach it then: cut it off from the core first.
TerminalWnd::~TerminalWnd() {
  session_.disconnect();
  screen_.setObserver(nullptr);
  if (canvas_) canvas_->detach();
}

bool TerminalWnd::create() {
  if (!wxFrame::Create(nullptr, wxID_ANY, res::kAppTitle, wxPoint(kCreationLeft, kCreationTop),
                       wxSize(kCreationWidth, kCreationHeight))) {
    return false;
  }
  SetIcon(wxIcon(kIcon103Xpm));
  // The canvas covers the whole client area: erasing the frame under it on
  // every repaint would only cost a device context and a style look-up.
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  canvas_ = new TerminalCanvas(this, screen_, counters_);
  viewport_ = std::make_unique<Viewport>(screen_, *canvas_, [this] { return link_.isOpen(); });
  screen_.setObserver(viewport_.get());
  canvas_->attach(*viewport_, [this](int code) { session_.onChar(code); });

  buildMenuBar();
  settings_.load(store_);
  refreshCheckMarks();

  const WindowRect layout = TerminalSettings::loadLayout(store_);
  restoredRect_ = wxRect(layout.left, layout.top, layout.right - layout.left, layout.bottom - layout.top);
  SetSize(restoredRect_);
  // Under a window manager wx would delay the first showing until the
  // manager tells the frame's size, first realising the window at 2 x 1
  // pixels: the manager then places it at the screen's corner, and the
  // scroll bars, squeezed, fill stderr with GTK assertions. Shown at once,
  // the window keeps its place, and its outer size is asked for again once
  // the frame is known (onSize).
#ifdef __WXGTK__
  m_deferShow = false;
  sizeWhenDecorated_ = restoredRect_.GetSize();
#endif
  SetMinClientSize(kMinimumClientSize);
  Show();
  canvas_->SetFocus();
  Update();

  session_.connect();
  viewport_->createCaret();
  if (const int interval = heartbeatIntervalMs(); interval > 0) {
    lastHeartbeat_ = std::chrono::steady_clock::now();
    heartbeatTimer_.Start(interval);
  }
  return true;
}

void TerminalWnd::buildMenuBar() {
  auto* bar = new wxMenuBar;
  for (const res::MenuDef& menuDef : res::kMainMenu) {
    auto* menu = new wxMenu;
    for (const res::MenuItemDef& item : menuDef.items) {
      if (item.command == 0) {
        menu->AppendSeparator();
      } else {
        menu->Append(wxIdForCommand(item.command), item.text, wxEmptyString,
                     item.checkable ? wxITEM_CHECK : wxITEM_NORMAL);
      }
    }
    // The titles carry no mnemonic; their first letters serve (Alt+T, Alt+S).
    bar->Append(menu, wxString("&") + menuDef.title);
  }
  SetMenuBar(bar);
}

void TerminalWnd::refreshCheckMarks() {
  wxMenuBar* bar = GetMenuBar();
  if (!bar) return;
  const std::pair<int, int> marks[] = {
      {res::kCmdInCR, settings_.termInCR},      {res::kCmdOutCR, settings_.termOutCR},
      {res::kCmdEcho, settings_.termEcho},      {res::kCmdCapture, settings_.termCapture},
      {res::kCmdSendFile, sender_.sending()},
  };
  for (const auto& [command, value] : marks) bar->Check(wxIdForCommand(command), value != 0);
}

void TerminalWnd::writeReport() {
  if (runReportPath().empty()) return;
  ReportValues values = {
      {"paints", std::to_string(counters_.paints)},
      {"refreshes", std::to_string(counters_.refreshes)},
      {"wakes_posted", std::to_string(counters_.wakesPosted)},
      {"wakes_handled", std::to_string(counters_.wakesHandled)},
      {"blocks_delivered", std::to_string(counters_.blocksDelivered)},
      {"bytes_received", std::to_string(counters_.bytesReceived)},
      {"port_open", std::to_string(link_.isOpen() ? 1 : 0)},
      {"heartbeats", std::to_string(counters_.heartbeats)},
      {"heartbeat_max_gap_us", std::to_string(longestHeartbeatGapUs())},
  };
  counters_.heartbeatMaxGapUs = 0;  // each report tells the longest gap since the one before
  if (wxMenuBar* bar = GetMenuBar()) {
    for (const res::MenuDef& menuDef : res::kMainMenu) {
      for (const res::MenuItemDef& item : menuDef.items) {
        if (item.command == 0) continue;
        const int id = wxIdForCommand(item.command);
        if (item.checkable) {
          values.emplace_back("checked_" + std::to_string(item.command), bar->IsChecked(id) ? "1" : "0");
        }
        values.emplace_back("enabled_" + std::to_string(item.command), bar->IsEnabled(id) ? "1" : "0");
      }
    }
  }
  if (canvas_ && viewport_) {
    canvas_->flush();
    values.insert(values.end(), {
        {"hscroll_pos", std::to_string(canvas_->GetScrollPos(wxHORIZONTAL))},
        {"hscroll_range", std::to_string(canvas_->GetScrollRange(wxHORIZONTAL))},
        {"vscroll_pos", std::to_string(canvas_->GetScrollPos(wxVERTICAL))},
        {"vscroll_range", std::to_string(canvas_->GetScrollRange(wxVERTICAL))},
        {"view_hpos", std::to_string(viewport_->hpos())},
        {"view_vpos", std::to_string(viewport_->vpos())},
        {"caret_visible", std::to_string(canvas_->caretVisible() ? 1 : 0)},
        {"cursor_row", std::to_string(screen_.row())},
        {"cursor_column", std::to_string(screen_.column())},
    });
  }
  if (about_) {
    const wxRect link = about_->linkScreenRect();
    values.insert(values.end(), {
        {"about_link", wxString::Format("%d,%d,%d,%d", link.x, link.y, link.width, link.height).ToStdString()},
        {"about_link_text_width", std::to_string(about_->linkTextWidth())},
    });
  }
  writeRunReport(values);
}

void TerminalWnd::showError(const std::string& text) {
  showErrorBox(this, wxString::FromUTF8(text));
}

std::optional<std::string> TerminalWnd::chooseSaveFile(const std::string& initialPath,
                                                       const std::string& defaultExtension,
                                                       const std::string& filter) {
  const wxFileName initial(wxString::FromUTF8(initialPath));
  wxFileDialog dialog(this, wxFileSelectorPromptStr, initial.GetPath(), initial.GetFullName(),
                      chooserFilter(filter), wxFD_SAVE);
  fitChooser(dialog, *this, res::kCmdCaptureFile);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  wxFileName chosen(dialog.GetPath());
  if (!chosen.HasExt() && !defaultExtension.empty()) chosen.SetExt(wxString::FromUTF8(defaultExtension));
  return toUtf8(chosen.GetFullPath());
}

std::optional<std::string> TerminalWnd::chooseOpenFile(const std::string& initialPath,
                                                       const std::string& filter) {
  const wxFileName initial(wxString::FromUTF8(initialPath));
  wxFileDialog dialog(this, wxFileSelectorPromptStr, initial.GetPath(), initial.GetFullName(),
                      chooserFilter(filter), wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  fitChooser(dialog, *this, res::kCmdSendFile);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  return toUtf8(dialog.GetPath());
}

int TerminalWnd::startTimer(int id, int milliseconds) {
  if (id != res::kSendTimerId) return 0;
  return sendTimer_.Start(milliseconds) ? id : 0;
}

void TerminalWnd::killTimer(int id) {
  if (id == res::kSendTimerId) sendTimer_.Stop();
}

void TerminalWnd::optionsChanged() { refreshCheckMarks(); }

// Posts a wake-up; the engine merges wakes, so a flood posts one per delivery round.
void TerminalWnd::portWake() {
  ++counters_.wakesPosted;
  if (wxThread::IsMain()) {
    // Blocks are left after a delivery round. A queued event would be handled
    // in the same pending-event loop, which then never returns to the toolkit
    // while the line floods: menus, keys and paints would starve.
    deliveryTimer_.StartOnce(1);
  } else {
    wxQueueEvent(this, new wxThreadEvent(wxEVT_THREAD));
  }
}

// While lines stream in at a device's pace, the screen repaints once a frame
// and bytes taken in between would show no sooner: they wait for the frame,
// and one wake-up per frame carries them all. The first bytes after a quiet
// spell go at once, and so does a queue that is filling (a flood, or one that
// filled while held: the engine wakes again then).
void TerminalWnd::onPortWake(wxThreadEvent& /*event*/) {
  const int untilFrame = canvas_->msUntilNextFrame();
  if (!deliveryHeld_ && untilFrame > 0 && portQueuedBlocks() < kPortQueueBlocks / 8) {
    deliveryHeld_ = true;
    deliveryTimer_.StartOnce(untilFrame);
    return;
  }
  deliverReceived();
}

void TerminalWnd::onDeliveryTimer(wxTimerEvent& /*event*/) {
  const bool held = deliveryHeld_;
  deliverReceived();
  if (held) canvas_->flush();  // what was held shows in this frame, not the next
}

void TerminalWnd::deliverReceived() {
  deliveryHeld_ = false;
  ++counters_.wakesHandled;
  counters_.blocksDelivered += portDeliver(*this);
}

int TerminalWnd::onPortData(int count, const std::uint8_t* bytes) {
  counters_.bytesReceived += count;
  return session_.onPortData(count, bytes);
}

int TerminalWnd::onPortError() { return session_.onPortError(); }

void TerminalWnd::onAbout(wxCommandEvent& /*event*/) {
  AboutDlg dialog(this, res::kLinkAddress);
  dialog.setBuildDate(wxString("(") + __DATE__ + ")");
  about_ = &dialog;
  dialog.ShowModal();
  about_ = nullptr;
}

void TerminalWnd::onSettings(wxCommandEvent& /*event*/) {
  SettingsDlg dialog(this, store_);
  dialog.line = settings_;  // its five list positions
  if (dialog.ShowModal() != wxID_OK) return;
  session_.applyLineSettings(dialog.line, sender_);
  viewport_->createCaret();
}

void TerminalWnd::onClearScreen(wxCommandEvent& /*event*/) { clearScreen(*viewport_, screen_); }

void TerminalWnd::onEcho(wxCommandEvent& /*event*/) { session_.toggleEcho(); }
void TerminalWnd::onInCR(wxCommandEvent& /*event*/) { session_.toggleInCR(); }
void TerminalWnd::onOutCR(wxCommandEvent& /*event*/) { session_.toggleOutCR(); }
void TerminalWnd::onCaptureFile(wxCommandEvent& /*event*/) { session_.chooseCaptureFile(); }
void TerminalWnd::onCapture(wxCommandEvent& /*event*/) { session_.toggleCapture(); }
void TerminalWnd::onSendFile(wxCommandEvent& /*event*/) { sender_.start(); }
void TerminalWnd::onStopSending(wxCommandEvent& /*event*/) { sender_.stop(); }
void TerminalWnd::onCloseCommand(wxCommandEvent& /*event*/) { Close(); }
void TerminalWnd::onSendTimer(wxTimerEvent& /*event*/) { sender_.onTimer(); }

// Alt+F4 closes the window. A window manager takes the keys before any
// program sees them; without one, the window does it itself.
void TerminalWnd::onCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_F4 && event.GetModifiers() == wxMOD_ALT) {
    Close();
    return;
  }
  event.Skip();
}

// The longest gap so far, counting the one still open: a report asked for while
// the window was stuck must show it, even if it comes before the next heartbeat.
std::int64_t TerminalWnd::longestHeartbeatGapUs() const {
  if (!heartbeatTimer_.IsRunning()) return counters_.heartbeatMaxGapUs;
  const auto open = std::chrono::steady_clock::now() - lastHeartbeat_;
  return std::max<std::int64_t>(counters_.heartbeatMaxGapUs,
                                std::chrono::duration_cast<std::chrono::microseconds>(open).count());
}

void TerminalWnd::onHeartbeat(wxTimerEvent& /*event*/) {
  const auto now = std::chrono::steady_clock::now();
  const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - lastHeartbeat_).count();
  ++counters_.heartbeats;
  counters_.heartbeatMaxGapUs = std::max<std::int64_t>(counters_.heartbeatMaxGapUs, gap);
  lastHeartbeat_ = now;
}

// The window's end: caret, sending, settings and the restored rectangle.
// The port closes when the window object goes.
void TerminalWnd::onClose(wxCloseEvent& /*event*/) {
  writeReport();
  session_.onDestroy(*viewport_, sender_,
                     WindowRect{restoredRect_.GetLeft(), restoredRect_.GetTop(),
                                restoredRect_.GetLeft() + restoredRect_.GetWidth(),
                                restoredRect_.GetTop() + restoredRect_.GetHeight()});
  Destroy();
}

// wx cannot tell a maximised window's restored rectangle: remember the last
// one seen while the window was neither maximised nor minimised.
void TerminalWnd::trackRestoredRect() {
  if (IsShown() && !IsMaximized() && !IsIconized()) restoredRect_ = GetRect();
}

void TerminalWnd::onSize(wxSizeEvent& event) {
  event.Skip();
  // The frame's own size is known once the manager has framed the window:
  // only then can the stored outer size and the smallest size be asked for.
#ifdef __WXGTK__
  if (sizeWhenDecorated_ && (m_decorSize.left | m_decorSize.right | m_decorSize.top | m_decorSize.bottom) != 0) {
    CallAfter([this, size = *sizeWhenDecorated_] {
      SetMinClientSize(kMinimumClientSize);
      SetSize(size);
    });
    sizeWhenDecorated_.reset();
  }
#endif
  trackRestoredRect();
}

void TerminalWnd::onMove(wxMoveEvent& event) {
  event.Skip();
  trackRestoredRect();
}

}  // namespace tevra::app
