#include "app/win32/TerminalWnd.h"

#include <commdlg.h>

#include <cstring>
#include <exception>
#include <vector>

#include "app/win32/AboutDlg.h"
#include "app/win32/ResourceStrings.h"
#include "app/win32/SettingsDlg.h"
#include "res/ResourceIds.h"
#include "res/Strings.h"

namespace tevra::win32 {
namespace {

constexpr const char* kWindowClass = "TevraTerminalWindow";
constexpr DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX |
                               WS_MAXIMIZEBOX | WS_VSCROLL | WS_HSCROLL;
constexpr int kCreationLeft = 20;
constexpr int kCreationTop = 20;
constexpr int kCreationWidth = 600;
constexpr int kCreationHeight = 360;
// Fixedsys at 10 points, the size given in tenths of a point.
constexpr const char* kFontFace = "Fixedsys";
constexpr int kFontTenthsOfPoint = 100;

// Resumes delivering received blocks after paints and input have had their turn.
constexpr UINT_PTR kDeliveryTimerId = res::kSendTimerId + 1;

int scrollBarOf(ScrollBar bar) { return bar == ScrollBar::Vertical ? SB_VERT : SB_HORZ; }

ScrollCode scrollCodeOf(WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case SB_LINEUP: return ScrollCode::LineUp;
    case SB_LINEDOWN: return ScrollCode::LineDown;
    case SB_PAGEUP: return ScrollCode::PageUp;
    case SB_PAGEDOWN: return ScrollCode::PageDown;
    case SB_THUMBPOSITION: return ScrollCode::ThumbPosition;
    case SB_THUMBTRACK: return ScrollCode::ThumbTrack;
    case SB_TOP: return ScrollCode::Top;
    case SB_BOTTOM: return ScrollCode::Bottom;
    default: return ScrollCode::EndScroll;
  }
}

// A filter as the file dialogs want it: the "name|pattern" pairs of string 1002
// with their bars as zeros, so the final empty pair ends the list.
std::string dialogFilter(const std::string& filter) {
  std::string zeros = filter;
  for (char& c : zeros) {
    if (c == '|') c = '\0';
  }
  return zeros;
}

std::optional<std::string> chooseFile(HWND owner, bool save, const std::string& initialPath,
                                      const std::string& defaultExtension, const std::string& filter) {
  std::vector<char> path(MAX_PATH, '\0');
  initialPath.copy(path.data(), path.size() - 1);
  const std::string zeros = dialogFilter(filter);

  OPENFILENAMEA chooser{};
  chooser.lStructSize = sizeof chooser;
  chooser.hwndOwner = owner;
  chooser.lpstrFilter = zeros.c_str();
  chooser.lpstrFile = path.data();
  chooser.nMaxFile = static_cast<DWORD>(path.size());
  chooser.lpstrDefExt = defaultExtension.empty() ? nullptr : defaultExtension.c_str();
  chooser.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                  (save ? OFN_PATHMUSTEXIST : OFN_FILEMUSTEXIST);
  const BOOL chosen = save ? GetSaveFileNameA(&chooser) : GetOpenFileNameA(&chooser);
  if (!chosen) return std::nullopt;
  return std::string(path.data());
}

}  // namespace

TerminalWnd::TerminalWnd(HINSTANCE instance, SettingsStore& store)
    : instance_(instance), store_(store), uiThread_(GetCurrentThreadId()) {
  screen_.setObserver(&viewport_);
}

TerminalWnd::~TerminalWnd() {
  session_.disconnect();
  screen_.setObserver(nullptr);
  if (window_) DestroyWindow(window_);
  if (font_) DeleteObject(font_);
}

bool TerminalWnd::create() {
  WNDCLASSA windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(res::kIconMain));
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  // Lives as long as the process.
  windowClass.hbrBackground = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassA(&windowClass)) return false;

  const std::string title = loadResourceString(instance_, res::kIdsAppTitle);
  return CreateWindowExA(0, kWindowClass, title.c_str(), kWindowStyle, kCreationLeft, kCreationTop,
                         kCreationWidth, kCreationHeight, nullptr, nullptr, instance_, this) != nullptr;
}

LRESULT CALLBACK TerminalWnd::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TerminalWnd*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    self->wakeTarget_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TerminalWnd*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return DefWindowProcA(window, message, wParam, lParam);
  // A failure thrown out of a handler becomes an error box; the rest of that
  // message's handling is dropped and the program goes on.
  try {
    return self->handle(message, wParam, lParam);
  } catch (const std::exception& error) {
    self->showError(error.what());
    return 0;
  }
}

LRESULT TerminalWnd::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case res::kWmPortData:
    case res::kWmPortError:
      deliverReceived();
      return 0;
    case WM_CREATE:
      return onCreate(message, wParam, lParam);
    case WM_PAINT:
      onPaint();
      return 0;
    case WM_SIZE:
      DefWindowProcA(window_, message, wParam, lParam);
      viewport_.onSize(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_VSCROLL:
      viewport_.onVScroll(scrollCodeOf(wParam), HIWORD(wParam));
      return 0;
    case WM_HSCROLL:
      viewport_.onHScroll(scrollCodeOf(wParam), HIWORD(wParam));
      return 0;
    case WM_SETFOCUS:
      DefWindowProcA(window_, message, wParam, lParam);
      viewport_.createCaret();
      return 0;
    case WM_KILLFOCUS:
      DefWindowProcA(window_, message, wParam, lParam);
      viewport_.destroyCaret();
      return 0;
    case WM_CHAR:
      DefWindowProcA(window_, message, wParam, lParam);
      session_.onChar(static_cast<int>(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == kDeliveryTimerId) {
        KillTimer(window_, kDeliveryTimerId);
        deliverReceived();
        return 0;
      }
      sender_.onTimer();
      break;
    case WM_COMMAND:
      if (onCommand(LOWORD(wParam))) return 0;
      break;
    case WM_DESTROY:
      session_.onDestroy(viewport_, sender_, restoredRect());
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
      window_ = nullptr;
      PostQuitMessage(0);
      break;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

bool TerminalWnd::onCommand(int command) {
  switch (command) {
    case res::kCmdAbout: showAbout(); return true;
    case res::kCmdSettings: showSettings(); return true;
    case res::kCmdClearScreen: tevra::clearScreen(viewport_, screen_); return true;
    case res::kCmdEcho: session_.toggleEcho(); return true;
    case res::kCmdInCR: session_.toggleInCR(); return true;
    case res::kCmdOutCR: session_.toggleOutCR(); return true;
    case res::kCmdCaptureFile: session_.chooseCaptureFile(); return true;
    case res::kCmdCapture: session_.toggleCapture(); return true;
    case res::kCmdClose: DestroyWindow(window_); return true;
    case res::kCmdSendFile: sender_.start(); return true;
    case res::kCmdStopSending: sender_.stop(); return true;
    default: return false;
  }
}

LRESULT TerminalWnd::onCreate(UINT message, WPARAM wParam, LPARAM lParam) {
  if (DefWindowProcA(window_, message, wParam, lParam) == -1) return -1;
  SetMenu(window_, LoadMenuA(instance_, MAKEINTRESOURCEA(res::kMenuMain)));
  settings_.load(store_);
  refreshCheckMarks();

  HDC screenDc = GetDC(window_);
  LOGFONTA face{};
  face.lfHeight = -(GetDeviceCaps(screenDc, LOGPIXELSY) * kFontTenthsOfPoint / 720);
  face.lfCharSet = DEFAULT_CHARSET;
  std::strncpy(face.lfFaceName, kFontFace, LF_FACESIZE - 1);
  ReleaseDC(window_, screenDc);
  font_ = CreateFontIndirectA(&face);

  const WindowRect layout = TerminalSettings::loadLayout(store_);
  MoveWindow(window_, layout.left, layout.top, layout.right - layout.left, layout.bottom - layout.top,
             FALSE);
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);

  session_.connect();
  viewport_.createCaret();
  return 0;
}

WindowRect TerminalWnd::restoredRect() const {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  WindowRect restored;
  if (GetWindowPlacement(window_, &placement)) {
    const RECT& normal = placement.rcNormalPosition;
    restored = WindowRect{normal.left, normal.top, normal.right, normal.bottom};
  }
  return restored;
}

void TerminalWnd::onPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  RECT client;
  GetClientRect(window_, &client);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  SetBkColor(dc, GetSysColor(COLOR_WINDOW));
  SetBkMode(dc, OPAQUE);
  HGDIOBJ previousFont = SelectObject(dc, font_);

  const CellRange cells = viewport_.visibleCells({client.left, client.top, client.right, client.bottom});
  const int count = cells.lastCol - cells.firstCol + 1;
  if (count > 0) {
    const int x = cells.firstCol * kCellWidth - viewport_.hpos();
    for (int row = cells.firstRow; row <= cells.lastRow; ++row) {
      const int y = row * kCellHeight - viewport_.vpos();
      const RECT box{x, y, x + kCellWidth * count, y + kCellHeight};
      const auto* text = reinterpret_cast<const char*>(screen_.rowData(row) + cells.firstCol);
      ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &box, text, static_cast<UINT>(count), nullptr);
    }
  }

  SelectObject(dc, previousFont);
  EndPaint(window_, &paint);
}

void TerminalWnd::refreshCheckMarks() {
  HMENU menu = GetMenu(window_);
  if (!menu) return;
  const std::pair<int, int> marks[] = {
      {res::kCmdInCR, settings_.termInCR},      {res::kCmdOutCR, settings_.termOutCR},
      {res::kCmdEcho, settings_.termEcho},      {res::kCmdCapture, settings_.termCapture},
      {res::kCmdSendFile, sender_.sending()},
  };
  for (const auto& [command, value] : marks) {
    CheckMenuItem(menu, static_cast<UINT>(command), MF_BYCOMMAND | (value ? MF_CHECKED : MF_UNCHECKED));
  }
}

void TerminalWnd::showAbout() {
  AboutDlg dialog(instance_);
  dialog.setBuildDate(std::string("(") + __DATE__ + ")");
  dialog.run(window_);
}

void TerminalWnd::showSettings() {
  SettingsDlg dialog(instance_, store_);
  dialog.line = settings_;  // its five list positions
  if (!dialog.run(window_)) return;
  session_.applyLineSettings(dialog.line, sender_);
  viewport_.createCaret();
}

void TerminalWnd::showError(const std::string& text) { showStopBox(instance_, window_, text); }

std::optional<std::string> TerminalWnd::chooseSaveFile(const std::string& initialPath,
                                                       const std::string& defaultExtension,
                                                       const std::string& filter) {
  return chooseFile(window_, true, initialPath, defaultExtension, filter);
}

std::optional<std::string> TerminalWnd::chooseOpenFile(const std::string& initialPath,
                                                       const std::string& filter) {
  return chooseFile(window_, false, initialPath, {}, filter);
}

int TerminalWnd::startTimer(int id, int milliseconds) {
  return static_cast<int>(SetTimer(window_, static_cast<UINT_PTR>(id), static_cast<UINT>(milliseconds), nullptr));
}

void TerminalWnd::killTimer(int id) { KillTimer(window_, static_cast<UINT_PTR>(id)); }

void TerminalWnd::optionsChanged() { refreshCheckMarks(); }

void TerminalWnd::setScrollRange(ScrollBar bar, int min, int max, bool redraw) {
  SetScrollRange(window_, scrollBarOf(bar), min, max, redraw);
}

void TerminalWnd::setScrollPos(ScrollBar bar, int pos, bool redraw) {
  SetScrollPos(window_, scrollBarOf(bar), pos, redraw);
}

void TerminalWnd::scrollContents(int dx, int dy) { ScrollWindow(window_, dx, dy, nullptr, nullptr); }

void TerminalWnd::invalidateRect(const Rect& rect, bool erase) {
  const RECT area{rect.left, rect.top, rect.right, rect.bottom};
  InvalidateRect(window_, &area, erase);
}

void TerminalWnd::invalidateAll(bool erase) { InvalidateRect(window_, nullptr, erase); }

void TerminalWnd::createCaret(int width, int height) { CreateCaret(window_, nullptr, width, height); }
void TerminalWnd::setCaretPos(int x, int y) { SetCaretPos(x, y); }
void TerminalWnd::showCaret() { ShowCaret(window_); }
void TerminalWnd::hideCaret() { HideCaret(window_); }
void TerminalWnd::destroyCaret() { DestroyCaret(); }

// The engine calls this from its reader, or from portDeliver() on this thread
// when it left blocks for later: then a timer, whose message comes after
// paints and input, so a flood never starves menus, keys and repaints.
void TerminalWnd::portWake() {
  if (GetCurrentThreadId() == uiThread_) {
    SetTimer(window_, kDeliveryTimerId, USER_TIMER_MINIMUM, nullptr);
  } else {
    PostMessageA(wakeTarget_, res::kWmPortData, 0, 0);
  }
}

void TerminalWnd::deliverReceived() { portDeliver(*this); }

int TerminalWnd::onPortData(int count, const std::uint8_t* bytes) { return session_.onPortData(count, bytes); }

int TerminalWnd::onPortError() { return session_.onPortError(); }

}  // namespace tevra::win32
