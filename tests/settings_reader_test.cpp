// The settings file reader, call by call: whether the headline search finds
// its headline, what each property read gives and where the next one starts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "codec/File_RxTx.h"
#include "tests/support.h"

namespace {

struct ReadCase {
  const char* what;
  const char* sought;  // headline searched for first; nullptr: none
  std::string text;
  std::vector<std::string> calls;  // "found", "not found", "NAME=value", "malformed", "end"
  bool read_error = false;         // after the text every read fails, and the end never comes
};

struct Source {
  std::string text;
  size_t pos;
  bool read_error;
};

ssize_t source_read(void* cookie, char* buf, size_t size) {
  auto* s = static_cast<Source*>(cookie);
  if (s->pos == s->text.size() && s->read_error) {
    errno = EIO;
    return -1;
  }
  const size_t n = std::min(size, s->text.size() - s->pos);
  memcpy(buf, s->text.data() + s->pos, n);
  s->pos += n;
  return static_cast<ssize_t>(n);
}

class Reader : public testing::TestWithParam<ReadCase> {};

TEST_P(Reader, ReadsAsExpected) {
  const ReadCase& c = GetParam();
  Source source{c.text, 0, c.read_error};
  FILE* f = fopencookie(&source, "r", {source_read, nullptr, nullptr, nullptr});
  std::vector<std::string> calls;
  if (c.sought != nullptr) {
    calls.push_back(file_readHeadline(c.sought, f) == 1 ? "found" : "not found");
  }
  // Bounded, so that a reader that never comes to an end fails.
  for (int r = kPropRead; r != kPropEnd && calls.size() < 50;) {
    FileProperty p = {};
    r = file_readProperty(&p, f);
    calls.push_back(r == kPropEnd    ? "end"
                    : r == kPropRead ? std::string(p.name) + "=" + std::to_string(p.value)
                                     : "malformed");
  }
  EXPECT_EQ(calls, c.calls);
  EXPECT_EQ(ferror(f) != 0, c.read_error);
  fclose(f);
}

std::string name(const testing::TestParamInfo<ReadCase>& info) { return info.param.what; }

INSTANTIATE_TEST_SUITE_P(
    Values, Reader,
    testing::Values(
        ReadCase{"ThreeDigits", nullptr, "V=101", {"V=5", "end"}},
        ReadCase{"LeadingZero", nullptr, "V=0101", {"V=5", "end"}},
        ReadCase{"One", nullptr, "V=1", {"V=1", "end"}},
        ReadCase{"Zero", nullptr, "V=0", {"V=0", "end"}},
        ReadCase{"SevenDigits", nullptr, "V=1111111", {"V=127", "end"}},
        ReadCase{"EightDigits", nullptr, "V=10101010\nW=1", {"malformed", "W=1", "end"}},
        ReadCase{"AfterEightDigits", nullptr, "V=00000000X=1", {"malformed", "X=1", "end"}},
        ReadCase{"OwnDigitsOnly", nullptr, "A=1111111\nB=00", {"A=127", "B=0", "end"}},
        ReadCase{"NoBinaryDigits", nullptr, "A=2\nB=abc\n", {"A=0", "B=0", "end"}},
        ReadCase{"OtherCharactersPassedOver", nullptr, "V=1a0b1", {"V=5", "end"}}),
    name);

INSTANTIATE_TEST_SUITE_P(
    SeparatorsAndLineEnds, Reader,
    testing::Values(ReadCase{"SpaceForEquals", nullptr, "RVOL 0100", {"RVOL=4", "end"}},
                    ReadCase{"DoubleEquals", nullptr, "RVOL==0100", {"RVOL=4", "end"}},
                    ReadCase{"ValueOnNextLine", nullptr, "RVOL\n0100\n", {"RVOL=4", "end"}},
                    ReadCase{"Crlf", nullptr, "A=1\r\nB=10\r\n\r\n", {"A=1", "B=2", "end"}},
                    ReadCase{"NoLastLineEnd", nullptr, "A=1\nB=11", {"A=1", "B=3", "end"}},
                    ReadCase{"EmptyName", nullptr, "=11", {"=3", "end"}},
                    ReadCase{"NameThenEnd", nullptr, "A=1\nRVOL", {"A=1", "malformed", "end"}},
                    ReadCase{"EmptyFile", nullptr, "", {"end"}}),
    name);

INSTANTIATE_TEST_SUITE_P(
    NamesAndTabs, Reader,
    testing::Values(
        ReadCase{"Nineteen", nullptr, "ABCDEFGHIJKLMNOPQRS=1", {"ABCDEFGHIJKLMNOPQRS=1", "end"}},
        ReadCase{
            "TwentyGoOnAt21st", nullptr, "ABCDEFGHIJKLMNOPQRSTUV=1", {"malformed", "UV=1", "end"}},
        ReadCase{"HashInName", nullptr, "AB#C=1", {"malformed", "C=1", "end"}},
        ReadCase{"TabBeforeName", nullptr, "\tRVOL=1", {"\tRVOL=1", "end"}},
        ReadCase{"TabBeforeEquals", nullptr, "RVOL\t=1", {"RVOL\t=1", "end"}},
        ReadCase{"TabsInValue", nullptr, "RVOL=0\t1\t00", {"RVOL=4", "end"}},
        ReadCase{
            "ByteFF", nullptr, "\xFF\xFF=1\nB=1\xFF\nC=1", {"\xFF\xFF=1", "B=1", "C=1", "end"}}),
    name);

INSTANTIATE_TEST_SUITE_P(
    AfterTheValue, Reader,
    testing::Values(
        ReadCase{"TextTakesNextLinesDigits",
                 nullptr,
                 "RVOL=0100 x\nTVOL=1010\nGB=10\n",
                 {"RVOL=4", "x=10", "GB=2", "end"}},
        ReadCase{"HashEndsValueOnly", nullptr, "RVOL=0100#NEXT=1", {"RVOL=4", "NEXT=1", "end"}},
        ReadCase{"HashFirstEndsSection", nullptr, "A=1\n  #B\nC=1\n", {"A=1", "end"}},
        ReadCase{"HashForValueEndsSection", nullptr, "A=\n#B\n", {"end"}}),
    name);

INSTANTIATE_TEST_SUITE_P(
    Headlines, Reader,
    testing::Values(
        ReadCase{"OwnLine", "#CS6422", "#X\nA=1\n#CS6422\nB=10\n#Y\nC=1", {"found", "B=2", "end"}},
        ReadCase{"TabAfter", "#CS6422", "#CS6422\t\nA=1\n", {"not found", "end"}},
        ReadCase{
            "Nineteen", "#ABCDEFGHIJKLMNOPQR", "#ABCDEFGHIJKLMNOPQR\nA=1", {"found", "A=1", "end"}},
        ReadCase{"MidLine", "#CS6422", "x=1 #CS6422 A=1\n", {"found", "A=1", "end"}},
        ReadCase{"AtTheVeryEnd", "#CS6422", "#CS6422", {"found", "end"}},
        ReadCase{"CutOffByTheEnd", "#CS6422", "#CS642", {"not found", "end"}},
        ReadCase{"OtherCase", "#CS6422", "#cs6422\nA=1\n", {"not found", "end"}},
        ReadCase{
            "LongerOneFirst", "#CS6422", "#CS6422X\nA=1\n#CS6422\nB=1", {"found", "B=1", "end"}},
        ReadCase{"NineteenBefore",
                 "#CS6422",
                 "#ABCDEFGHIJKLMNOPQR #CS6422 A=1",
                 {"found", "A=1", "end"}},
        ReadCase{
            "TwentyBefore", "#CS6422", "#ABCDEFGHIJKLMNOPQRS\n#CS6422\nA=1", {"not found", "end"}},
        ReadCase{"AfterByteFF", "#CS6422", "\xFF#CS6422\nA=1\n", {"found", "A=1", "end"}}),
    name);

INSTANTIATE_TEST_SUITE_P(
    ReadErrors, Reader,
    testing::Values(ReadCase{"EndTheSearch", "#CS6422", "#CS64", {"not found", "end"}, true},
                    ReadCase{"EndTheSection",
                             "#CS6422",
                             "#CS6422\nA=1\nBC",
                             {"found", "A=1", "malformed", "end"},
                             true}),
    name);

TEST(Open, StoresTheStreamOrNull) {
  std::string name = test::temp_path("settings_XXXXXX");
  close(mkstemp(name.data()));
  const char* path = name.c_str();
  FILE* handle = nullptr;
  EXPECT_EQ(file_openSettings(path, &handle), 1);
  ASSERT_NE(handle, nullptr);
  file_closeSettings(handle);
  unlink(path);
  EXPECT_EQ(file_openSettings(path, &handle), 0);
  EXPECT_EQ(handle, nullptr);
}

}  // namespace
