#include "core/TerminalSession.h"

#include <string>
#include <system_error>

#include "core/FileSender.h"
#include "core/Platform.h"
#include "core/Viewport.h"
#include "res/Strings.h"

namespace tevra {

namespace {

constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kLineFeed = 0x0A;

std::string portOpenFailedText(int portNumber, const std::string& reason) {
  std::string text = res::kPortOpenFailed;
  const std::string portName = "COM" + std::to_string(portNumber);
  const auto placeholder = text.find("%1");
  if (placeholder != std::string::npos) text.replace(placeholder, 2, portName);
  if (!reason.empty()) text += "\n" + reason;
  return text;
}

}  // namespace

TerminalSession::TerminalSession(TerminalSettings& settings, ScreenBuffer& screen,
                                 SerialLink& link, SettingsStore& store, TerminalUi& ui)
    : settings_(settings), screen_(screen), link_(link), store_(store), ui_(ui) {}

bool TerminalSession::connect() {
  const LineParameters line = settings_.lineParameters();
  if (link_.open(line, portDevicePath(store_, line.portNumber))) return true;
  ui_.showError(portOpenFailedText(line.portNumber, link_.failureReason()));
  return false;
}

void TerminalSession::disconnect() {
  if (link_.isOpen()) link_.close();
}

int TerminalSession::onPortData(int count, const std::uint8_t* bytes) {
  if (count <= 0) return 0;
  const auto length = static_cast<std::size_t>(count);
  screen_.put(bytes, length);
  capture(bytes, length);
  return 0;
}

int TerminalSession::onPortError() { return 0; }

void TerminalSession::onChar(int code) {
  if (!link_.isOpen()) return;
  const auto byte = static_cast<std::uint8_t>(code & 0xFF);
  send(byte);
  if (settings_.termOutCR && byte == kCarriageReturn) {
    link_.write(&kLineFeed, 1);
    // With incoming CR = CR+LF the echoed CR has already fed a line.
    if (settings_.termEcho && !settings_.termInCR) screen_.put(&kLineFeed, 1);
    capture(&kLineFeed, 1);
  }
}

void TerminalSession::send(std::uint8_t byte) {
  link_.write(&byte, 1);
  if (settings_.termEcho) screen_.put(&byte, 1);
  capture(&byte, 1);
}

void TerminalSession::toggleInCR() {
  settings_.termInCR = !settings_.termInCR;
  ui_.optionsChanged();
}

void TerminalSession::toggleOutCR() {
  settings_.termOutCR = !settings_.termOutCR;
  ui_.optionsChanged();
}

void TerminalSession::toggleEcho() {
  settings_.termEcho = !settings_.termEcho;
  ui_.optionsChanged();
}

void TerminalSession::toggleCapture() {
  settings_.termCapture = !settings_.termCapture;
  captureFailureReported_ = false;
  ui_.optionsChanged();
}

void TerminalSession::chooseCaptureFile() {
  const auto chosen = ui_.chooseSaveFile(settings_.captureFile, "txt", res::kFileFilter);
  if (!chosen) return;
  settings_.captureFile = *chosen;
  settings_.termCapture = 1;
  captureFailureReported_ = false;
  ui_.optionsChanged();
}

void TerminalSession::capture(const std::uint8_t* bytes, std::size_t count) {
  if (!settings_.termCapture || count == 0) return;
  const AppendResult result = appendToFile(settings_.captureFile, bytes, count);
  if (!result.opened) return;  // this chunk is skipped, capture stays on
  if (!result.error) {
    captureFailureReported_ = false;
    return;
  }
  reportCaptureFailure(result.error);
}

void TerminalSession::reportCaptureFailure(const std::error_code& error) {
  if (captureFailureReported_ && reportedCapturePath_ == settings_.captureFile) return;
  // Marked before the box: chunks delivered while it is up must not raise another.
  captureFailureReported_ = true;
  reportedCapturePath_ = settings_.captureFile;
  ui_.showError("Can't write to the capture file " + settings_.captureFile + ": " + error.message());
}

bool TerminalSession::applyLineSettings(const LineIndices& chosen, FileSender& sender) {
  static_cast<LineIndices&>(settings_) = chosen;
  sender.stop();
  disconnect();
  return connect();
}

void TerminalSession::onDestroy(Viewport& view, FileSender& sender, const WindowRect& restoredRect) {
  view.destroyCaret();
  sender.stop();
  settings_.save(store_, restoredRect);
}

}  // namespace tevra
