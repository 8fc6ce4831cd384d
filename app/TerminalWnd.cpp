#include "app/TerminalWnd.h"

#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>

#include "app/AboutDlg.h"
#include "app/CommandIds.h"
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

// The chooser filter as wx wants it: without the final empty pair.
wxString chooserFilter(const std::string& filter) {
  wxString wildcard = wxString::FromUTF8(filter);
  while (wildcard.EndsWith("|")) wildcard.RemoveLast();
  return wildcard;
}

std::string toUtf8(const wxString& text) { return std::string(text.utf8_str()); }

// Resumes delivering received blocks after the toolkit has had its turn.
constexpr int kDeliveryTimerId = res::kSendTimerId + 1;

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
  EVT_CLOSE(TerminalWnd::onClose)
  EVT_SIZE(TerminalWnd::onSize)
  EVT_MOVE(TerminalWnd::onMove)
wxEND_EVENT_TABLE()

TerminalWnd::TerminalWnd(SettingsStore& store)
    : store_(store), sendTimer_(this, res::kSendTimerId), deliveryTimer_(this, kDeliveryTimerId) {}

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
  Show();
  canvas_->SetFocus();
  Update();

  session_.connect();
  viewport_->createCaret();
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
    bar->Append(menu, menuDef.title);
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
  };
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
  writeRunReport(values);
}

void TerminalWnd::showError(const std::string& text) {
  wxMessageBox(wxString::FromUTF8(text), res::kAppTitle, wxOK | wxICON_ERROR, this);
}

std::optional<std::string> TerminalWnd::chooseSaveFile(const std::string& initialPath,
                                                       const std::string& defaultExtension,
                                                       const std::string& filter) {
  const wxFileName initial(wxString::FromUTF8(initialPath));
  wxFileDialog dialog(this, wxFileSelectorPromptStr, initial.GetPath(), initial.GetFullName(),
                      chooserFilter(filter), wxFD_SAVE);
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

void TerminalWnd::onPortWake(wxThreadEvent& /*event*/) { deliverReceived(); }

void TerminalWnd::onDeliveryTimer(wxTimerEvent& /*event*/) { deliverReceived(); }

void TerminalWnd::deliverReceived() {
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
  dialog.ShowModal();
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
  trackRestoredRect();
}

void TerminalWnd::onMove(wxMoveEvent& event) {
  event.Skip();
  trackRestoredRect();
}

}  // namespace tevra::app
