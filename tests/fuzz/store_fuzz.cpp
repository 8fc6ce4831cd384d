// Takes the fuzz input as the settings file: loads the settings and the
// window rectangle from it, checks that every list position is inside its
// list, saves them and checks that loading again gives the same record and
// that saving that changes no byte of the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "FuzzCheck.h"
#include "app/FileSettingsStore.h"
#include "app/UserPaths.h"
#include "core/TerminalSettings.h"
#include "tests/support/TempFolder.h"

namespace tevra {
namespace {

namespace fs = std::filesystem;

// The temporary home every run works in; never the user's own.
// A tmpfs when there is one: every save syncs the file. Removed at exit.
const fs::path& temporaryRoot() {
  static const tevra::testing::TempFolder root("tevra-store-fuzz", [] {
    std::error_code error;
    return fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
  }());
  return root.path();
}

void makeTemporaryHome() {
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"}) {
    const fs::path folder = temporaryRoot() / name;
    fs::create_directory(folder);
    setenv(name, folder.c_str(), 1);
  }
  FUZZ_CHECK(settingsFilePath().string().rfind(temporaryRoot().string(), 0) == 0);
  FUZZ_CHECK(makePrivateFolder(settingsFolder()));
}

std::string fileContents(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

bool isOption(int value) { return value == 0 || value == 1; }

template <std::size_t size>
bool isListPosition(int position, const char* const (&)[size]) {
  return position >= 0 && static_cast<std::size_t>(position) < size;
}

void checkLoaded(const TerminalSettings& settings) {
  FUZZ_CHECK(isListPosition(settings.port, kPortNames));
  FUZZ_CHECK(isListPosition(settings.baud, kBaudNames));
  FUZZ_CHECK(isListPosition(settings.dataBits, kDataBitsNames));
  FUZZ_CHECK(isListPosition(settings.parity, kParityNames));
  FUZZ_CHECK(isListPosition(settings.stopBits, kStopBitsNames));
  FUZZ_CHECK(isOption(settings.termOutCR) && isOption(settings.termInCR));
  FUZZ_CHECK(isOption(settings.termEcho) && isOption(settings.termCapture));

  const LineParameters line = settings.lineParameters();
  FUZZ_CHECK(line.portNumber == settings.port + 1);
  FUZZ_CHECK(std::to_string(line.baud) == kBaudNames[settings.baud]);
  FUZZ_CHECK(std::to_string(line.dataBits) == kDataBitsNames[settings.dataBits]);
  static constexpr int kParityCodes[] = {0, 2, 1, 3, 4};  // None, Even, Odd, Mark, Space
  FUZZ_CHECK(static_cast<int>(line.parity) == kParityCodes[settings.parity]);
  FUZZ_CHECK(static_cast<int>(line.stopBits) == 2 * settings.stopBits);
}

struct Loaded {
  TerminalSettings settings;
  WindowRect layout;
};

Loaded load() {
  FileSettingsStore store;
  Loaded loaded;
  loaded.settings.load(store);
  loaded.layout = TerminalSettings::loadLayout(store);
  return loaded;
}

void save(const Loaded& loaded) {
  FileSettingsStore store;
  loaded.settings.save(store, loaded.layout);
  FUZZ_CHECK(store.flush());
}

}  // namespace
}  // namespace tevra

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tevra::makeTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tevra;
  const fs::path file = settingsFilePath();
  {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(stream.good());
  }

  const Loaded first = load();
  checkLoaded(first.settings);
  save(first);
  const std::string saved = fileContents(file);

  const Loaded second = load();
  FUZZ_CHECK(second.settings == first.settings);
  FUZZ_CHECK(second.layout == first.layout);
  save(second);
  FUZZ_CHECK(fileContents(file) == saved);
  return 0;
}
