// The settings file reader, call by call: what each property read gives and
// where the next one starts, and which headlines the search finds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "codec/File_RxTx.h"

namespace {

// The file's bytes, as an open stream.
FILE* stream(const std::string& text) {
  static std::string bytes;  // fmemopen reads from it while the case runs
  bytes = text;
  return bytes.empty() ? fopen("/dev/null", "r") : fmemopen(bytes.data(), bytes.size(), "r");
}

// Every property read up to the end of the section: "NAME=value",
// "malformed", then "end". Bounded, so a reader that never ends fails.
std::vector<std::string> properties(FILE* f) {
  std::vector<std::string> out;
  for (int i = 0; i < 50; ++i) {
    FileProperty p = {};
    const int r = file_readProperty(&p, f);
    if (r == kPropEnd) {
      out.push_back("end");
      return out;
    }
    out.push_back(r == kPropRead ? std::string(p.name) + "=" + std::to_string(p.value)
                                 : "malformed");
  }
  out.push_back("no end");
  return out;
}

struct PropertyCase {
  const char* what;
  std::string text;
  std::vector<std::string> calls;
};

class Property : public testing::TestWithParam<PropertyCase> {};

TEST_P(Property, ReadsAsExpected) {
  FILE* f = stream(GetParam().text);
  EXPECT_EQ(properties(f), GetParam().calls);
  fclose(f);
}

std::string case_name(const testing::TestParamInfo<PropertyCase>& info) { return info.param.what; }

INSTANTIATE_TEST_SUITE_P(
    Values, Property,
    testing::Values(
        PropertyCase{"ThreeDigits", "V=101", {"V=5", "end"}},
        PropertyCase{"LeadingZero", "V=0101", {"V=5", "end"}},
        PropertyCase{"One", "V=1", {"V=1", "end"}}, PropertyCase{"Zero", "V=0", {"V=0", "end"}},
        PropertyCase{"SevenDigits", "V=1111111", {"V=127", "end"}},
        PropertyCase{"EightDigits", "V=10101010\nW=1", {"malformed", "W=1", "end"}},
        PropertyCase{"NinthCharacterStartsTheNext", "V=00000000X=1", {"malformed", "X=1", "end"}},
        PropertyCase{"EachOwnDigits", "A=1111111\nB=00\n", {"A=127", "B=0", "end"}},
        PropertyCase{"NoBinaryDigits", "A=2\nB=abc\n", {"A=0", "B=0", "end"}},
        PropertyCase{"OtherCharactersPassedOver", "V=1a0b1", {"V=5", "end"}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    SeparatorsAndLineEnds, Property,
    testing::Values(PropertyCase{"SpaceForEquals", "RVOL 0100", {"RVOL=4", "end"}},
                    PropertyCase{"DoubleEquals", "RVOL==0100", {"RVOL=4", "end"}},
                    PropertyCase{"ValueOnNextLine", "RVOL\n0100\n", {"RVOL=4", "end"}},
                    PropertyCase{"Crlf", "A=1\r\nB=10\r\n\r\n", {"A=1", "B=2", "end"}},
                    PropertyCase{"LastLineWithoutLineEnd", "A=1\nB=11", {"A=1", "B=3", "end"}},
                    PropertyCase{"EmptyName", "=11", {"=3", "end"}},
                    PropertyCase{"NameThenEnd", "RVOL\n", {"end"}},
                    PropertyCase{"EmptyFile", "", {"end"}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Names, Property,
    testing::Values(PropertyCase{"NineteenCharacters",
                                 "ABCDEFGHIJKLMNOPQRS=1",
                                 {"ABCDEFGHIJKLMNOPQRS=1", "end"}},
                    PropertyCase{"TwentyCharactersGoOnAtThe21st",
                                 "ABCDEFGHIJKLMNOPQRSTUV=1\n",
                                 {"malformed", "UV=1", "end"}},
                    PropertyCase{"HashInName", "AB#C=1", {"malformed", "C=1", "end"}},
                    PropertyCase{"EndInName", "A=1\nRVOL", {"A=1", "malformed", "end"}},
                    PropertyCase{"CaseKept", "rVol=1", {"rVol=1", "end"}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Tabs, Property,
    testing::Values(PropertyCase{"BeforeName", "\tRVOL=1", {"\tRVOL=1", "end"}},
                    PropertyCase{"BeforeEquals", "RVOL\t=1", {"RVOL\t=1", "end"}},
                    PropertyCase{"InsideValue", "RVOL=0\t1\t00", {"RVOL=4", "end"}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    AfterTheValue, Property,
    testing::Values(
        PropertyCase{"TextTakesTheNextLinesDigits",
                     "RVOL=0100 x\nTVOL=1010\nGB=10\n",
                     {"RVOL=4", "x=10", "GB=2", "end"}},
        PropertyCase{"HashEndsValueNotSection", "RVOL=0100#NEXT=1\n", {"RVOL=4", "NEXT=1", "end"}},
        PropertyCase{"HashAtLineStartEndsSection", "A=1\n  #B\nC=1\n", {"A=1", "end"}},
        PropertyCase{"HashForValueEndsSection", "A=\n#B\n", {"end"}}),
    case_name);

INSTANTIATE_TEST_SUITE_P(ByteFF, Property,
                         testing::Values(PropertyCase{"IsAnOrdinaryCharacter",
                                                      "A=1\n\xFF\xFF=1\nB=1\xFF"
                                                      "0\xFF",
                                                      {"A=1", "\xFF\xFF=1", "B=2", "end"}}),
                         case_name);

struct HeadlineCase {
  const char* what;
  std::string text;
  int found;
  std::vector<std::string> then;  // the properties after it
};

class Headline : public testing::TestWithParam<HeadlineCase> {};

TEST_P(Headline, IsFoundOrNot) {
  FILE* f = stream(GetParam().text);
  EXPECT_EQ(file_readHeadline("#CS6422", f), GetParam().found);
  EXPECT_EQ(properties(f), GetParam().then);
  fclose(f);
}

std::string headline_name(const testing::TestParamInfo<HeadlineCase>& info) {
  return info.param.what;
}

INSTANTIATE_TEST_SUITE_P(
    Search, Headline,
    testing::Values(
        HeadlineCase{"OnItsOwnLine", "#Other\nA=1\n#CS6422\nB=10\n#Next\nC=1\n", 1, {"B=2", "end"}},
        HeadlineCase{"TabAfter", "#CS6422\t\nA=1\n", 0, {"end"}},
        HeadlineCase{"MidLine", "x=1 #CS6422 A=1\n", 1, {"A=1", "end"}},
        HeadlineCase{"AtTheVeryEnd", "#CS6422", 1, {"end"}},
        HeadlineCase{"CutOffByTheEnd", "#CS642", 0, {"end"}},
        HeadlineCase{"OtherCase", "#cs6422\nA=1\n", 0, {"end"}},
        HeadlineCase{"LongerOneFirst", "#CS6422X\nA=1\n#CS6422\nB=1\n", 1, {"B=1", "end"}},
        HeadlineCase{
            "NineteenCharactersBefore", "#ABCDEFGHIJKLMNOPQR\n#CS6422\nA=1", 1, {"A=1", "end"}},
        HeadlineCase{"TwentyCharactersBeforeEndTheSearch",
                     "#ABCDEFGHIJKLMNOPQRS\n#CS6422\nA=1\n",
                     0,
                     {"end"}},
        HeadlineCase{"AfterByteFF", "\xFF#CS6422\nA=1\n", 1, {"A=1", "end"}},
        HeadlineCase{"EmptyFile", "", 0, {"end"}}),
    headline_name);

TEST(Headline, OfNineteenCharactersIsFound) {
  FILE* f = stream("#X\n#ABCDEFGHIJKLMNOPQR\nA=1\n");
  EXPECT_EQ(file_readHeadline("#ABCDEFGHIJKLMNOPQR", f), 1);
  EXPECT_STREQ(file_string, "#ABCDEFGHIJKLMNOPQR");
  EXPECT_EQ(properties(f), (std::vector<std::string>{"A=1", "end"}));
  fclose(f);
}

// A stream that yields `text` and then fails every read without ever
// reaching its end, as a failing card or a directory does.
struct Failing {
  std::string text;
  size_t pos = 0;
};

ssize_t failing_read(void* cookie, char* buf, size_t size) {
  auto* s = static_cast<Failing*>(cookie);
  if (s->pos == s->text.size()) {
    errno = EIO;
    return -1;
  }
  const size_t n = std::min(size, s->text.size() - s->pos);
  memcpy(buf, s->text.data() + s->pos, n);
  s->pos += n;
  return static_cast<ssize_t>(n);
}

FILE* failing_stream(Failing* cookie) {
  return fopencookie(cookie, "r", {failing_read, nullptr, nullptr, nullptr});
}

TEST(ReadError, EndsTheHeadlineSearch) {
  Failing cookie{"no headline here "};
  FILE* f = failing_stream(&cookie);
  EXPECT_EQ(file_readHeadline("#CS6422", f), 0);
  EXPECT_TRUE(ferror(f));
  EXPECT_FALSE(feof(f));
  fclose(f);
}

TEST(ReadError, EndsTheSection) {
  Failing cookie{"#CS6422\nA=1\nBC"};
  FILE* f = failing_stream(&cookie);
  EXPECT_EQ(file_readHeadline("#CS6422", f), 1);
  EXPECT_EQ(properties(f), (std::vector<std::string>{"A=1", "malformed", "end"}));
  FileProperty again = {};
  EXPECT_EQ(file_readProperty(&again, f), kPropEnd);
  fclose(f);
}

TEST(Open, StoresTheStreamOrNull) {
  char path[] = "/tmp/zul_settings_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  FILE* handle = stdin;
  EXPECT_EQ(file_openSettings(path, &handle), 1);
  ASSERT_NE(handle, nullptr);
  file_closeSettings(handle);
  unlink(path);
  EXPECT_EQ(file_openSettings(path, &handle), 0);
  EXPECT_EQ(handle, nullptr);
}

}  // namespace
