#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/win32/RegistrySettingsStore.h"
#include "core/SettingsStore.h"
#include "core/TerminalSettings.h"

namespace tevra::win32 {
namespace {

// A value as the registry holds it.
struct RawValue {
  DWORD type = REG_NONE;
  std::string bytes;
};

// The store below a key of this run's own, HKCU\Software\<unique>\Orbel
// Software\Terminal, as the program's is below "Tevra Laboratory"; the key is
// deleted with all it holds when the test ends.
class RegistryStoreTest : public ::testing::Test {
 protected:
  RegistryStoreTest()
      : root_("Software\\Tevra Test " + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(std::random_device{}())) {
    store.setRegistryKey(root_.substr(sizeof "Software\\" - 1) + "\\Orbel Software", "Terminal");
  }

  void TearDown() override {
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(keyExists(root_)) << "no test key is left behind";
  }

  std::string sectionKey(const std::string& section) const {
    return root_ + "\\Orbel Software\\Terminal\\" + section;
  }

  static bool keyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  std::optional<RawValue> readRaw(const std::string& section, const std::string& name) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sectionKey(section).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    RawValue value;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExA(key, name.c_str(), nullptr, &value.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
      value.bytes.resize(size);
      status = RegQueryValueExA(key, name.c_str(), nullptr, &value.type,
                                reinterpret_cast<BYTE*>(value.bytes.data()), &size);
      value.bytes.resize(size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return value;
  }

  void writeRaw(const std::string& section, const std::string& name, const RawValue& value) const {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, sectionKey(section).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.bytes.data()),
                             static_cast<DWORD>(value.bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static std::string dword(std::uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
  }

  const std::string root_;
  RegistrySettingsStore store;
};

// Every write passed on to the registry store, and what kind of value it was.
class KindRecordingStore : public SettingsStore {
 public:
  explicit KindRecordingStore(SettingsStore& target) : target_(target) {}

  struct Write {
    std::string section, name;
    std::optional<int> number;  // set for an integer
    std::string text;
  };
  int readInt(const std::string& section, const std::string& name, int defaultValue) override {
    return target_.readInt(section, name, defaultValue);
  }
  std::string readText(const std::string& section, const std::string& name,
                       const std::string& defaultValue) override {
    return target_.readText(section, name, defaultValue);
  }
  void writeInt(const std::string& section, const std::string& name, int value) override {
    writes.push_back({section, name, value, {}});
    target_.writeInt(section, name, value);
  }
  void writeText(const std::string& section, const std::string& name, const std::string& value) override {
    writes.push_back({section, name, std::nullopt, value});
    target_.writeText(section, name, value);
  }

  std::vector<Write> writes;

 private:
  SettingsStore& target_;
};

TEST_F(RegistryStoreTest, EverySettingSurvivesARestartWithItsRegistryType) {
  TerminalSettings saved;
  saved.port = 11;
  saved.baud = 0;
  saved.dataBits = 1;
  saved.parity = 4;
  saved.stopBits = 1;
  saved.termOutCR = 1;
  saved.termInCR = 1;
  saved.termEcho = 0;
  saved.termCapture = 1;
  saved.captureFile = "C:\\Users\\u\\log file \"quoted\" %TEMP%.txt";
  saved.sendFile = "";
  const WindowRect rect{-8, INT_MIN, 1200, INT_MAX};
  KindRecordingStore recorder(store);
  saved.save(recorder, rect);
  ASSERT_FALSE(recorder.writes.empty());

  for (const auto& write : recorder.writes) {
    SCOPED_TRACE(write.section + "\\" + write.name);
    const std::optional<RawValue> raw = readRaw(write.section, write.name);
    ASSERT_TRUE(raw.has_value());
    if (write.number) {
      EXPECT_EQ(raw->type, static_cast<DWORD>(REG_DWORD));
      EXPECT_EQ(raw->bytes, dword(static_cast<std::uint32_t>(*write.number)));
    } else {
      EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(raw->bytes, write.text + '\0') << "stored with its terminating zero";
    }
  }

  RegistrySettingsStore restarted;
  restarted.setRegistryKey(root_.substr(sizeof "Software\\" - 1) + "\\Orbel Software", "Terminal");
  TerminalSettings loaded;
  loaded.load(restarted);
  EXPECT_EQ(loaded, saved);
  EXPECT_EQ(TerminalSettings::loadLayout(restarted), rect);
}

// What another program may have left: values the store reads as they are,
// and values it cannot read, which yield the default.
TEST_F(RegistryStoreTest, ValuesOfAnotherTypeOrSizeYieldTheDefault) {
  struct Case {
    const char* what;
    bool integer;  // read with readInt (default -7), else readText (default "none")
    std::optional<RawValue> stored;
    std::string expected;  // what the read gives, as text
  };
  const Case cases[] = {
      {"missing integer", true, std::nullopt, "-7"},
      {"missing text", false, std::nullopt, "none"},
      {"integer as REG_SZ", true, RawValue{REG_SZ, std::string("5", 2)}, "-7"},
      {"integer as REG_BINARY", true, RawValue{REG_BINARY, dword(5)}, "-7"},
      {"integer as REG_QWORD", true, RawValue{REG_QWORD, dword(5) + dword(0)}, "-7"},
      {"REG_DWORD too long", true, RawValue{REG_DWORD, dword(5) + dword(0)}, "-7"},
      {"REG_DWORD too short", true, RawValue{REG_DWORD, std::string("\x05\x00", 2)}, "-7"},
      {"REG_DWORD of all ones", true, RawValue{REG_DWORD, dword(0xFFFFFFFFu)}, "-1"},
      {"text as REG_DWORD", false, RawValue{REG_DWORD, dword(5)}, "none"},
      {"text as REG_BINARY", false, RawValue{REG_BINARY, std::string("text", 5)}, "none"},
      {"text as REG_MULTI_SZ", false, RawValue{REG_MULTI_SZ, std::string("a\0b\0\0", 5)}, "none"},
      {"REG_SZ without its zero", false, RawValue{REG_SZ, "unended"}, "unended"},
      {"empty REG_SZ", false, RawValue{REG_SZ, std::string(1, '\0')}, ""},
      {"REG_EXPAND_SZ, not expanded", false, RawValue{REG_EXPAND_SZ, std::string("%TEMP%\\a", 9)}, "%TEMP%\\a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.stored) writeRaw("Terminal", c.what, *c.stored);
    const std::string got = c.integer ? std::to_string(store.readInt("Terminal", c.what, -7))
                                      : store.readText("Terminal", c.what, "none");
    EXPECT_EQ(got, c.expected);
  }
}

TEST_F(RegistryStoreTest, SectionKeysAreMadeOnReadAndOnWriteButNotForPorts) {
  const char* const sections[] = {"General", "Terminal", "Layout"};
  for (const char* section : sections) EXPECT_FALSE(keyExists(sectionKey(section))) << section;

  EXPECT_EQ(store.readInt("General", "Port", 3), 3);
  EXPECT_TRUE(keyExists(sectionKey("General"))) << "made by a read";
  EXPECT_EQ(store.readText("Terminal", "SendFile", "x"), "x");
  EXPECT_TRUE(keyExists(sectionKey("Terminal"))) << "made by a read";
  store.writeInt("Layout", "LayoutTop", 4);
  EXPECT_TRUE(keyExists(sectionKey("Layout"))) << "made by a write";
  EXPECT_EQ(store.readInt("Layout", "LayoutTop", 0), 4);

  // A port name is the device itself: nothing of Ports is kept.
  store.writeText("Ports", "COM1", "\\\\.\\COM7");
  store.writeInt("Ports", "COM2", 2);
  EXPECT_EQ(store.readText("Ports", "COM1", "default"), "default");
  EXPECT_EQ(portDevicePath(store, 1), "\\\\.\\COM1");
  EXPECT_FALSE(keyExists(sectionKey("Ports")));
}

}  // namespace
}  // namespace tevra::win32
