#include "core/FileSender.h"

#include <array>
#include <string>
#include <system_error>
#include <utility>

#include "core/Platform.h"
#include "res/ResourceIds.h"
#include "res/Strings.h"

namespace tevra {

namespace {

constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kEndOfFileMark = 0x1A;

}  // namespace

// Reads the file to send line by line with the rules of a text-mode file:
// CR LF and LF end a line, a lone CR stays in it, 0x1A ends the file. A NUL
// ends a line's text; the rest of that line up to its line end is dropped.
// Lines of any length are read in chunks; only their first bytes are kept.
class FileSender::LineReader {
 public:
  enum class Result { Line, EndOfFile, Error };

  // Null when the file cannot be opened or another program holds it for writing.
  static std::unique_ptr<LineReader> open(const std::string& path) {
    auto file = openInputFile(path);
    if (!file) return nullptr;
    return std::unique_ptr<LineReader>(new LineReader(std::move(file)));
  }

  // The next line without its line end; its first `max` bytes go to `line`,
  // their count to `length`.
  Result readLine(std::uint8_t* line, std::size_t max, std::size_t& length) {
    length = 0;
    if (endOfFile_) return Result::EndOfFile;
    bool anyByte = false;
    bool textEnded = false;
    for (;;) {
      const int next = nextByte();
      if (next == kFailed) return Result::Error;
      if (next == kEnd || next == kEndOfFileMark) {
        endOfFile_ = true;
        return anyByte ? Result::Line : Result::EndOfFile;
      }
      anyByte = true;
      if (next == kLineFeed) return Result::Line;
      if (next == kCarriageReturn) {
        const int after = peekByte();
        if (after == kFailed) return Result::Error;
        if (after == kLineFeed) {
          ++position_;
          return Result::Line;
        }
      }
      if (next == 0) {
        textEnded = true;
      } else if (!textEnded && length < max) {
        line[length++] = static_cast<std::uint8_t>(next);
      }
    }
  }

  // Why the read failed, after Result::Error.
  std::error_code error() const { return error_; }

 private:
  static constexpr int kEnd = -1;
  static constexpr int kFailed = -2;

  explicit LineReader(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}

  int peekByte() {
    if (position_ == filled_) {
      const int status = refill();
      if (status != 0) return status;
    }
    return chunk_[position_];
  }

  int nextByte() {
    const int next = peekByte();
    if (next >= 0) ++position_;
    return next;
  }

  // 0 when bytes were read, else kEnd or kFailed.
  int refill() {
    const std::size_t count = file_->read(chunk_.data(), chunk_.size(), error_);
    if (error_) return kFailed;
    if (count == 0) return kEnd;
    position_ = 0;
    filled_ = count;
    return 0;
  }

  std::unique_ptr<InputFile> file_;
  std::array<std::uint8_t, 4096> chunk_{};
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool endOfFile_ = false;
  std::error_code error_;
};

FileSender::FileSender(TerminalSettings& settings, ScreenBuffer& screen, SerialLink& link,
                       TerminalUi& ui)
    : settings_(settings), screen_(screen), link_(link), ui_(ui) {}

FileSender::~FileSender() = default;

void FileSender::start() {
  const auto chosen = ui_.chooseOpenFile(settings_.sendFile, res::kFileFilter);
  if (!chosen) return;  // a sending under way goes on
  stop();
  settings_.sendFile = *chosen;
  reader_ = LineReader::open(*chosen);
  if (reader_) {
    timerId_ = ui_.startTimer(res::kSendTimerId, res::kSendIntervalMs);
    if (timerId_ != 0) {
      sending_ = true;
    } else {
      reader_.reset();  // no timer, no ticks: stay idle rather than hang in "sending"
    }
  }
  ui_.optionsChanged();
}

void FileSender::stop() {
  if (timerId_ != 0) {
    ui_.killTimer(timerId_);
    timerId_ = 0;
  }
  if (sending_) {
    reader_.reset();
    sending_ = false;
  }
  ui_.optionsChanged();
}

void FileSender::onTimer() {
  if (!sending_) return;
  std::array<std::uint8_t, kMaxLineBytes + 2> line;
  std::size_t length = 0;
  switch (reader_->readLine(line.data(), kMaxLineBytes, length)) {
    case LineReader::Result::Line:
      line[length++] = kCarriageReturn;
      line[length++] = kLineFeed;
      if (link_.isOpen()) link_.write(line.data(), length);
      if (settings_.termEcho) screen_.put(line.data(), length);
      break;
    case LineReader::Result::EndOfFile:
      stop();
      break;
    case LineReader::Result::Error: {
      const std::error_code error = reader_->error();
      stop();  // before the box, so no tick during it can raise another
      ui_.showError("Can't read the file " + settings_.sendFile + ": " + error.message());
      break;
    }
  }
}

bool FileSender::sending() const { return sending_; }

int FileSender::timerId() const { return timerId_; }

}  // namespace tevra
