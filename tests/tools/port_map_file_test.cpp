#include <gtest/gtest.h>

#include <string>

#include "PortMapFile.h"

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

}  // namespace
}  // namespace tevra::linesim
