#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"

namespace tevra {
namespace {

using ::testing::ElementsAre;

TEST(TerminalSettings, EmptyStoreGivesTheFirstStartChoices) {
  MemorySettingsStore store;
  TerminalSettings settings;
  settings.port = 7;
  settings.termEcho = 0;
  settings.captureFile = "elsewhere.txt";
  settings.sendFile = "old.txt";
  settings.load(store);

  EXPECT_EQ(settings.lineParameters(), (LineParameters{2, 9600, 8, Parity::kNone, StopBits::kOne}));
  EXPECT_EQ(settings.termOutCR, 0);
  EXPECT_EQ(settings.termInCR, 0);
  EXPECT_EQ(settings.termEcho, 1);
  EXPECT_EQ(settings.termCapture, 0);
  EXPECT_EQ(settings.captureFile, "capture.txt");
  EXPECT_EQ(settings.sendFile, "");

  const WindowRect rect = TerminalSettings::loadLayout(store);
  EXPECT_EQ(rect.left, 20);
  EXPECT_EQ(rect.top, 20);
  EXPECT_EQ(rect.right - rect.left, 580);
  EXPECT_EQ(rect.bottom - rect.top, 340);
  EXPECT_TRUE(store.writeLog().empty()) << "loading must not write";
}

TerminalSettings nonDefaultSettings() {
  TerminalSettings settings;
  settings.port = 11;
  settings.baud = 9;
  settings.dataBits = 0;
  settings.parity = 2;
  settings.stopBits = 1;
  settings.termOutCR = 1;
  settings.termInCR = 1;
  settings.termEcho = 0;
  settings.termCapture = 1;
  settings.captureFile = "/home/u/log file.txt";
  settings.sendFile = "macro.txt";
  return settings;
}

TEST(TerminalSettings, SaveWritesAllFifteenValuesInOrder) {
  MemorySettingsStore store;
  nonDefaultSettings().save(store, WindowRect{-8, 5, 1200, 900});
  EXPECT_THAT(store.writeLog(),
              ElementsAre("General/Port=11", "General/BaudRate=9", "General/ByteSize=0",
                          "General/Parity=2", "General/StopBits=1", "Terminal/TermOutCR=1",
                          "Terminal/TermInCR=1", "Terminal/TermEcho=0", "Terminal/TermCapture=1",
                          "Terminal/CaptureFile=/home/u/log file.txt", "Terminal/SendFile=macro.txt",
                          "Layout/LayoutLeft=-8", "Layout/LayoutTop=5", "Layout/LayoutRight=1200",
                          "Layout/LayoutBottom=900"));
}

TEST(TerminalSettings, WhatIsSavedLoadsBack) {
  MemorySettingsStore store;
  const TerminalSettings saved = nonDefaultSettings();
  saved.save(store, WindowRect{-8, 5, 1200, 900});

  TerminalSettings loaded;
  loaded.load(store);
  EXPECT_EQ(loaded, saved);
  EXPECT_EQ(TerminalSettings::loadLayout(store), (WindowRect{-8, 5, 1200, 900}));
}

// Every list position maps to its line value, and the dialog's list text
// names the same value.
TEST(TerminalSettings, ListPositionsTurnIntoLineValues) {
  const std::vector<std::uint32_t> bauds = {300,   1200,  2400,  4800,  9600,
                                            14400, 19200, 38400, 57600, 115200};
  const std::vector<int> dataBits = {5, 6, 7, 8};
  const std::vector<std::string> parityNames = {"None", "Even", "Odd", "Mark", "Space"};
  const std::vector<int> parityCodes = {0, 2, 1, 3, 4};
  const std::vector<int> stopBitsCodes = {0, 2};

  TerminalSettings settings;
  for (int i = 0; i < 12; ++i) {
    settings.port = i;
    EXPECT_EQ(settings.lineParameters().portNumber, i + 1);
    EXPECT_EQ(kPortNames[i], "COM" + std::to_string(i + 1));
  }
  for (int i = 0; i < 10; ++i) {
    settings.baud = i;
    EXPECT_EQ(settings.lineParameters().baud, bauds[i]) << "baud index " << i;
    EXPECT_EQ(kBaudNames[i], std::to_string(bauds[i]));
  }
  for (int i = 0; i < 4; ++i) {
    settings.dataBits = i;
    EXPECT_EQ(settings.lineParameters().dataBits, dataBits[i]);
    EXPECT_EQ(kDataBitsNames[i], std::to_string(dataBits[i]));
  }
  for (int i = 0; i < 5; ++i) {
    settings.parity = i;
    EXPECT_EQ(static_cast<int>(settings.lineParameters().parity), parityCodes[i]) << parityNames[i];
    EXPECT_EQ(kParityNames[i], parityNames[i]);
  }
  for (int i = 0; i < 2; ++i) {
    settings.stopBits = i;
    EXPECT_EQ(static_cast<int>(settings.lineParameters().stopBits), stopBitsCodes[i]);
    EXPECT_EQ(kStopBitsNames[i], std::to_string(i + 1));
  }
}

struct IndexField {
  const char* name;
  int TerminalSettings::*member;
  int defaultValue;
  int lastPosition;
};

class StoredIndexField : public ::testing::TestWithParam<IndexField> {};

TEST_P(StoredIndexField, BadValuesFallBackToTheDefault) {
  const IndexField field = GetParam();
  const std::vector<std::string> badValues = {"-1",
                                              "-2147483648",
                                              std::to_string(field.lastPosition + 1),
                                              "2147483647",
                                              "99999999999",
                                              "",
                                              "COM3",
                                              "2abc",
                                              "0x1",
                                              "1.0"};
  for (const std::string& bad : badValues) {
    MemorySettingsStore store;
    store.writeText("General", field.name, bad);
    TerminalSettings settings;
    settings.load(store);
    EXPECT_EQ(settings.*field.member, field.defaultValue) << field.name << "=" << bad;
    EXPECT_EQ(settings.lineParameters(), TerminalSettings{}.lineParameters())
        << field.name << "=" << bad;
  }

  MemorySettingsStore store;
  store.writeText("General", field.name, " " + std::to_string(field.lastPosition) + " ");
  TerminalSettings settings;
  settings.load(store);
  EXPECT_EQ(settings.*field.member, field.lastPosition) << "last entry is kept";
}

INSTANTIATE_TEST_SUITE_P(
    AllLists, StoredIndexField,
    ::testing::Values(IndexField{"Port", &TerminalSettings::port, 1, 11},
                      IndexField{"BaudRate", &TerminalSettings::baud, 4, 9},
                      IndexField{"ByteSize", &TerminalSettings::dataBits, 3, 3},
                      IndexField{"Parity", &TerminalSettings::parity, 0, 4},
                      IndexField{"StopBits", &TerminalSettings::stopBits, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TerminalSettings, PositionsOutsideTheListsNeverLeaveTheTables) {
  TerminalSettings settings;
  settings.port = 12;
  settings.baud = -1;
  settings.dataBits = 400;
  settings.parity = 5;
  settings.stopBits = 2;
  EXPECT_EQ(settings.lineParameters(), (LineParameters{2, 9600, 8, Parity::kNone, StopBits::kOne}));
}

TEST(TerminalSettings, AnyNonzeroOptionIsOnAndNonNumbersGiveTheDefault) {
  struct Case {
    const char* stored;
    int expectedOutCR;  // default 0
    int expectedEcho;   // default 1
  };
  const Case cases[] = {{"0", 0, 0},   {"1", 1, 1},   {"7", 1, 1},   {"-1", 1, 1},
                        {"on", 0, 1},  {"", 0, 1},    {"1x", 0, 1},  {"4294967296", 0, 1}};
  for (const Case& c : cases) {
    MemorySettingsStore store;
    for (const char* name : {"TermOutCR", "TermInCR", "TermEcho", "TermCapture"}) {
      store.writeText("Terminal", name, c.stored);
    }
    TerminalSettings settings;
    settings.load(store);
    EXPECT_EQ(settings.termOutCR, c.expectedOutCR) << c.stored;
    EXPECT_EQ(settings.termInCR, c.expectedOutCR) << c.stored;
    EXPECT_EQ(settings.termCapture, c.expectedOutCR) << c.stored;
    EXPECT_EQ(settings.termEcho, c.expectedEcho) << c.stored;
  }
}

TEST(TerminalSettings, LayoutTakesAnyWholeNumberAndDefaultsOtherwise) {
  MemorySettingsStore store;
  store.writeText("Layout", "LayoutLeft", "-32000");
  store.writeText("Layout", "LayoutTop", "twenty");
  store.writeText("Layout", "LayoutRight", "3000000000");
  store.writeText("Layout", "LayoutBottom", "2147483647");
  EXPECT_EQ(TerminalSettings::loadLayout(store), (WindowRect{-32000, 20, 600, 2147483647}));
}

TEST(ParseDecimalInt, AcceptsOnlyWholeDecimalIntegers) {
  struct Case {
    const char* text;
    std::optional<int> expected;
  };
  const Case cases[] = {
      {"0", 0},          {"42", 42},           {" \t42 \r\n", 42},       {"-7", -7},
      {"2147483647", 2147483647},              {"-2147483648", -2147483647 - 1},
      {"2147483648", {}}, {"-2147483649", {}}, {"99999999999999999999", {}},
      {"", {}},          {"  ", {}},           {"-", {}},                {"+5", {}},
      {"4 2", {}},       {"12abc", {}},        {"0x10", {}},             {"1e3", {}},
      {"3.0", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseDecimalInt(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(PortDevicePath, DefaultMapCoversTheTwelvePorts) {
  MemorySettingsStore store;
  const char* const expected[12] = {"/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",   "/dev/ttyS3",
                                    "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3",
                                    "/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2", "/dev/ttyACM3"};
  for (int port = 1; port <= 12; ++port) {
    EXPECT_EQ(portDevicePath(store, port), expected[port - 1]) << "COM" << port;
  }
  EXPECT_EQ(portDevicePath(store, 0), "");
  EXPECT_EQ(portDevicePath(store, 13), "");
}

TEST(PortDevicePath, PortsSectionOverridesOnePort) {
  MemorySettingsStore store;
  store.writeText("Ports", "COM1", "/dev/pts/7");
  store.writeText("Ports", "COM10", "/tmp/line");
  store.writeText("Ports", "COM5", "");
  EXPECT_EQ(portDevicePath(store, 1), "/dev/pts/7");
  EXPECT_EQ(portDevicePath(store, 10), "/tmp/line");
  EXPECT_EQ(portDevicePath(store, 2), "/dev/ttyS1");
  EXPECT_EQ(portDevicePath(store, 5), "/dev/ttyUSB0") << "an empty value keeps the default";
}

}  // namespace
}  // namespace tevra
