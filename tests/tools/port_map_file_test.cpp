#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "PortMapFile.h"
#include "tests/support/TempFolder.h"

namespace tevra::linesim {
namespace {

struct EditCase {
  const char* name;
  const char* before;
  const char* afterSet;  // after set("Ports", "COM2", "/dev/pts/7")
};

const EditCase kEditCases[] = {
    {"EmptyFile", "", "[Ports]\nCOM2=/dev/pts/7\n"},
    {"NoFinalNewline", "[General]\nBaudRate=9", "[General]\nBaudRate=9\n[Ports]\nCOM2=/dev/pts/7"},
    {"ValueReplacedInPlace", "[Ports]\n  COM2 = /dev/ttyUSB0 \r\nCOM3=/x\n",
     "[Ports]\n  COM2 = /dev/pts/7 \r\nCOM3=/x\n"},
    {"SameKeyInOtherSectionUntouched", "[General]\nCOM2=keep\n[Ports]\nCOM1=/a\n\n[Layout]\nLayoutTop=3\n",
     "[General]\nCOM2=keep\n[Ports]\nCOM1=/a\nCOM2=/dev/pts/7\n\n[Layout]\nLayoutTop=3\n"},
    {"CommentsAndPrefixesAreNotKeys", "[Ports]\n# COM2=/old\nCOM22=/b\n",
     "[Ports]\n# COM2=/old\nCOM22=/b\nCOM2=/dev/pts/7\n"},
    {"EmptySectionKept", "[Ports]\n[General]\nPort=1\n", "[Ports]\nCOM2=/dev/pts/7\n[General]\nPort=1\n"},
};

void PrintTo(const EditCase& c, std::ostream* out) { *out << c.name; }

class IniEditTest : public ::testing::TestWithParam<EditCase> {};

// Setting a value touches only its line; removing it again (with the section
// header when the section was not there before) gives back the same text.
TEST_P(IniEditTest, SetThenRemoveRestoresTheText) {
  const EditCase& c = GetParam();
  IniLines ini = IniLines::parse(c.before);
  const bool hadSection = ini.hasSection("Ports");
  const auto previous = ini.value("Ports", "COM2");

  ini.set("Ports", "COM2", "/dev/pts/7");
  EXPECT_EQ(ini.text(), c.afterSet);
  EXPECT_EQ(ini.value("Ports", "COM2"), "/dev/pts/7");

  if (previous) {
    ini.set("Ports", "COM2", *previous);
  } else {
    ini.remove("Ports", "COM2", !hadSection);
  }
  EXPECT_EQ(ini.text(), c.before);
}

INSTANTIATE_TEST_SUITE_P(Cases, IniEditTest, ::testing::ValuesIn(kEditCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniLinesTest, ValueIsTrimmedAndMissingValuesAreEmpty) {
  const IniLines ini = IniLines::parse("[Ports]\r\nCOM1 =  /dev/pts/3 \r\n[Other]\nCOM2=/x\n");
  EXPECT_EQ(ini.value("Ports", "COM1"), "/dev/pts/3");
  EXPECT_EQ(ini.value("Ports", "COM2"), std::nullopt);
  EXPECT_EQ(ini.value("Missing", "COM1"), std::nullopt);
  EXPECT_TRUE(IniLines::parse("\n  \n").empty());
  EXPECT_FALSE(ini.empty());
}

namespace fs = std::filesystem;

void writeText(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// The mapping writes through a settings file that is a symbolic link, as the
// program does: the link stays a link, its target is edited and put back.
TEST(PortMappingTest, FollowsASymlinkedSettingsFile) {
  const testing::TempFolder folder("tevra-portmap");
  const fs::path target = folder.path() / "dotfiles" / "Terminal.conf";
  const fs::path link = folder.path() / "config" / "Terminal.conf";
  fs::create_directories(target.parent_path());
  fs::create_directories(link.parent_path());
  const std::string before = "[General]\nBaudRate=9\n";
  writeText(target, before);
  fs::create_symlink(target, link);

  {
    PortMapping mapping(link.string(), "COM2", "/dev/pts/7");
    ASSERT_TRUE(mapping.apply());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target.string()), before + "[Ports]\nCOM2=/dev/pts/7\n");
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    // Only the target and its link: no temporary file left beside either.
    EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(link.parent_path()), fs::directory_iterator()), 1);
  }
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readFile(target.string()), before);
}

// Something that is not a settings file in its place is neither opened (a
// FIFO would block) nor replaced by a file holding only the mapping.
TEST(PortMappingTest, LeavesWhatIsNotASettingsFileAlone) {
  const testing::TempFolder folder("tevra-portmap");
  const fs::path file = folder.path() / "Terminal.conf";
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);

  PortMapping mapping(file.string(), "COM2", "/dev/pts/7");
  EXPECT_FALSE(mapping.apply());
  mapping.restore();
  EXPECT_EQ(fs::status(file).type(), fs::file_type::fifo);
}

}  // namespace
}  // namespace tevra::linesim
