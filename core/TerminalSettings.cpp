#include "core/TerminalSettings.h"

#include <array>
#include <cstddef>

namespace tevra {

const char* const kPortNames[12] = {"COM1", "COM2", "COM3",  "COM4",  "COM5",  "COM6",
                                    "COM7", "COM8", "COM9", "COM10", "COM11", "COM12"};
const char* const kBaudNames[10] = {"300",   "1200",  "2400",  "4800",  "9600",
                                    "14400", "19200", "38400", "57600", "115200"};
const char* const kDataBitsNames[4] = {"5", "6", "7", "8"};
const char* const kParityNames[5] = {"None", "Even", "Odd", "Mark", "Space"};
const char* const kStopBitsNames[2] = {"1", "2"};

namespace {

constexpr std::array<std::uint32_t, 10> kBaudRates = {300,   1200,  2400,  4800,  9600,
                                                      14400, 19200, 38400, 57600, 115200};
constexpr std::array<std::uint8_t, 4> kDataBits = {5, 6, 7, 8};
// In the list's order, which is not the codes' order.
constexpr std::array<Parity, 5> kParityCodes = {Parity::kNone, Parity::kEven, Parity::kOdd,
                                                Parity::kMark, Parity::kSpace};
constexpr std::array<StopBits, 2> kStopBitsCodes = {StopBits::kOne, StopBits::kTwo};

static_assert(std::size(kBaudNames) == kBaudRates.size());
static_assert(std::size(kDataBitsNames) == kDataBits.size());
static_assert(std::size(kParityNames) == kParityCodes.size());
static_assert(std::size(kStopBitsNames) == kStopBitsCodes.size());

const TerminalSettings kDefaults;

constexpr const char* kGeneral = "General";
constexpr const char* kTerminal = "Terminal";
constexpr const char* kLayout = "Layout";

// A stored integer field; listSize 0 marks an on/off option.
struct IntField {
  const char* section;
  const char* name;
  int TerminalSettings::*member;
  std::size_t listSize;
};

// In load and save order.
constexpr IntField kIntFields[] = {
    {kGeneral, "Port", &TerminalSettings::port, std::size(kPortNames)},
    {kGeneral, "BaudRate", &TerminalSettings::baud, kBaudRates.size()},
    {kGeneral, "ByteSize", &TerminalSettings::dataBits, kDataBits.size()},
    {kGeneral, "Parity", &TerminalSettings::parity, kParityCodes.size()},
    {kGeneral, "StopBits", &TerminalSettings::stopBits, kStopBitsCodes.size()},
    {kTerminal, "TermOutCR", &TerminalSettings::termOutCR, 0},
    {kTerminal, "TermInCR", &TerminalSettings::termInCR, 0},
    {kTerminal, "TermEcho", &TerminalSettings::termEcho, 0},
    {kTerminal, "TermCapture", &TerminalSettings::termCapture, 0},
};

struct TextField {
  const char* section;
  const char* name;
  std::string TerminalSettings::*member;
};

constexpr TextField kTextFields[] = {
    {kTerminal, "CaptureFile", &TerminalSettings::captureFile},
    {kTerminal, "SendFile", &TerminalSettings::sendFile},
};

struct LayoutField {
  const char* name;
  int WindowRect::*member;
};

constexpr LayoutField kLayoutFields[] = {
    {"LayoutLeft", &WindowRect::left},
    {"LayoutTop", &WindowRect::top},
    {"LayoutRight", &WindowRect::right},
    {"LayoutBottom", &WindowRect::bottom},
};

// `position` when it lies in a list of `listSize` entries, else `fallback`.
std::size_t listPosition(int position, std::size_t listSize, int fallback) {
  const bool inList = position >= 0 && static_cast<std::size_t>(position) < listSize;
  return static_cast<std::size_t>(inList ? position : fallback);
}

int loadedValue(const IntField& field, int stored) {
  const int fallback = kDefaults.*field.member;
  if (field.listSize == 0) return stored != 0 ? 1 : 0;
  return static_cast<int>(listPosition(stored, field.listSize, fallback));
}

}  // namespace

void TerminalSettings::load(SettingsStore& store) {
  for (const IntField& field : kIntFields) {
    const int stored = store.readInt(field.section, field.name, kDefaults.*field.member);
    this->*field.member = loadedValue(field, stored);
  }
  for (const TextField& field : kTextFields) {
    this->*field.member = store.readText(field.section, field.name, kDefaults.*field.member);
  }
}

void TerminalSettings::save(SettingsStore& store, const WindowRect& restoredRect) const {
  for (const IntField& field : kIntFields) {
    store.writeInt(field.section, field.name, this->*field.member);
  }
  for (const TextField& field : kTextFields) {
    store.writeText(field.section, field.name, this->*field.member);
  }
  for (const LayoutField& field : kLayoutFields) {
    store.writeInt(kLayout, field.name, restoredRect.*field.member);
  }
}

WindowRect TerminalSettings::loadLayout(SettingsStore& store) {
  const WindowRect defaults;
  WindowRect rect;
  for (const LayoutField& field : kLayoutFields) {
    rect.*field.member = store.readInt(kLayout, field.name, defaults.*field.member);
  }
  return rect;
}

LineParameters TerminalSettings::lineParameters() const {
  LineParameters line;
  line.portNumber =
      static_cast<std::uint8_t>(listPosition(port, std::size(kPortNames), kDefaults.port) + 1);
  line.baud = kBaudRates[listPosition(baud, kBaudRates.size(), kDefaults.baud)];
  line.dataBits = kDataBits[listPosition(dataBits, kDataBits.size(), kDefaults.dataBits)];
  line.parity = kParityCodes[listPosition(parity, kParityCodes.size(), kDefaults.parity)];
  line.stopBits = kStopBitsCodes[listPosition(stopBits, kStopBitsCodes.size(), kDefaults.stopBits)];
  return line;
}

}  // namespace tevra
