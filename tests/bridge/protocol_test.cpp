#include "bridge/protocol.h"

#include <gtest/gtest.h>

#include "bridge/log.h"

namespace {

using bridge::parse_program_line;
using K = bridge::ProgramLine::Kind;

TEST(ProgramLines, EachLineHasItsMeaning) {
  const struct {
    const char* line;
    K kind;
    long number;
  } cases[] = {
      {"dial 5", K::kDial, 5},
      {"dial 4095", K::kDial, 4095},
      {"dial 65535", K::kDial, 65535},
      {"pickup", K::kPickup, 0},
      {"open", K::kOpen, 0},
      {"drop", K::kDrop, 0},
      {"openDetected", K::kOpenDetected, 0},
      {"common", K::kCommon, 0},
      {"Intercom: 10", K::kIntercom, 10},
      {"Program_STM: 258", K::kFirmware, 258},
      {"Shield: 26", K::kShield, 26},
      {"#Write rooms:", K::kOther, 0},
      {"#End read blacklist rooms", K::kOther, 0},
      {"Error: big number", K::kOther, 0},
      {"dial", K::kOther, 0},
      {"dial 5x", K::kOther, 0},
      {"dial -5", K::kOther, 0},
      {"pickup ", K::kOther, 0},
      {"drop\r", K::kDrop, 0},
  };
  for (const auto& c : cases) {
    const auto p = parse_program_line(c.line);
    EXPECT_EQ(p.kind, c.kind) << c.line;
    EXPECT_EQ(p.number, c.number) << c.line;
  }
}

TEST(ProgramLines, TheVersionBannerGivesTheVersion) {
  const auto p = parse_program_line("ZUL_STM_Driver 1.22");
  EXPECT_EQ(p.kind, K::kVersionBanner);
  EXPECT_EQ(p.text, "1.22");
  EXPECT_EQ(parse_program_line("#STM_driver_1v22").kind, K::kOther);
}

TEST(ProgramLines, SignalReportsAreTakenApart) {
  auto p = parse_program_line("S0 impulse: HIGH 500");
  ASSERT_EQ(p.kind, K::kSignal);
  EXPECT_EQ(p.channel, "S0");
  EXPECT_EQ(p.form, "impulse");
  EXPECT_EQ(p.level, "HIGH");
  EXPECT_EQ(p.number, 500);
  p = parse_program_line("Ek steady LOW 0");
  ASSERT_EQ(p.kind, K::kSignal);
  EXPECT_EQ(p.channel, "Ek");
  EXPECT_EQ(p.form, "steady");
  EXPECT_EQ(p.level, "LOW");
  p = parse_program_line("? ? HIGH 65535");
  ASSERT_EQ(p.kind, K::kSignal);
  EXPECT_EQ(p.channel, "?");
  EXPECT_EQ(p.number, 65535);
  EXPECT_EQ(parse_program_line("S2 steady LOW 1").kind, K::kOther);
  EXPECT_EQ(parse_program_line("S0 impulse: HIGH").kind, K::kOther);
  EXPECT_EQ(parse_program_line("S0 impulse: HIGH 5 6").kind, K::kOther);
}

TEST(ProgramLines, EventNames) {
  EXPECT_STREQ(bridge::event_name(K::kOpenDetected), "openDetected");
  EXPECT_TRUE(bridge::is_event(K::kSignal));
  EXPECT_FALSE(bridge::is_event(K::kShield));
}

TEST(Times, IsoTimesGoBothWays) {
  long long ms = 0;
  ASSERT_TRUE(bridge::parse_iso_time("2026-12-24T18:00:00Z", &ms));
  EXPECT_EQ(bridge::iso_time(ms), "2026-12-24T18:00:00.000Z");
  ASSERT_TRUE(bridge::parse_iso_time("2026-12-24T18:00:00.25Z", &ms));
  EXPECT_EQ(bridge::iso_time(ms), "2026-12-24T18:00:00.250Z");
  EXPECT_FALSE(bridge::parse_iso_time("2026-12-24 18:00:00Z", &ms));
  EXPECT_FALSE(bridge::parse_iso_time("2026-12-24T18:00:00", &ms));
  EXPECT_FALSE(bridge::parse_iso_time("2026-13-24T18:00:00Z", &ms));
  ASSERT_TRUE(bridge::parse_iso_time("2028-02-29T00:00:00Z", &ms));  // a leap year
  EXPECT_EQ(bridge::iso_time(ms), "2028-02-29T00:00:00.000Z");
}

TEST(Times, NoSignsSpacesOrDaysThatDoNotExist) {
  const struct {
    const char* text;
    const char* why;
  } kBad[] = {
      {"2026-02-31T12:00:00Z", "\"2026-02-31T12:00:00Z\": month 2 of 2026 has no day 31"},
      {"2027-02-29T12:00:00Z", "\"2027-02-29T12:00:00Z\": month 2 of 2027 has no day 29"},
      {"2026-04-31T12:00:00Z", "\"2026-04-31T12:00:00Z\": month 4 of 2026 has no day 31"},
      {"2026-12-+1T12:00:00Z", "\"2026-12-+1T12:00:00Z\" is not YYYY-MM-DDTHH:MM:SSZ"},
      {"2026-12- 1T12:00:00Z", "\"2026-12- 1T12:00:00Z\" is not YYYY-MM-DDTHH:MM:SSZ"},
      {"+026-12-01T12:00:00Z", "\"+026-12-01T12:00:00Z\" is not YYYY-MM-DDTHH:MM:SSZ"},
      {"2026-12-01T-1:00:00Z", "\"2026-12-01T-1:00:00Z\" is not YYYY-MM-DDTHH:MM:SSZ"},
      {"2026-12-01T12:00:60Z", "\"2026-12-01T12:00:60Z\" has no time 12:00:60"},
      {"2026-12-01T12:00:00.Z", "\"2026-12-01T12:00:00.Z\" has a '.' with no digits after it"},
      {"2026-12-01T12:00:00+01:00", "\"2026-12-01T12:00:00+01:00\" does not end in Z (UTC)"},
  };
  for (const auto& b : kBad) {
    long long ms = 0;
    std::string why;
    EXPECT_FALSE(bridge::parse_iso_time(b.text, &ms, &why)) << b.text;
    EXPECT_EQ(why, b.why);
  }
}

}  // namespace
