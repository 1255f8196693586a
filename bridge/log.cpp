#include "bridge/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace bridge {

void log_line(const std::string& text) {
  // One write per line, so lines of concurrent writers never mix.
  const std::string line = "zul_stm_mqtt: " + text + "\n";
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

long long steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

long long unix_ms_now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string iso_time(long long unix_ms) {
  const time_t seconds = static_cast<time_t>(unix_ms / 1000);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[80];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
           static_cast<int>(unix_ms % 1000));
  return text;
}

std::string iso_time_now() { return iso_time(unix_ms_now()); }

bool parse_iso_time(const std::string& text, long long* unix_ms, std::string* why) {
  // YYYY-MM-DDTHH:MM:SS[.fff]Z, digits where digits go and nothing else:
  // sscanf alone would take signs and spaces.
  const auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return false;
  };
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
  const size_t n = sizeof kShape - 1;
  if (text.size() < n + 1) return fail("\"" + text + "\" is not YYYY-MM-DDTHH:MM:SSZ");
  for (size_t i = 0; i < n; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
      return fail("\"" + text + "\" is not YYYY-MM-DDTHH:MM:SSZ");
    }
  }
  const auto number = [&](size_t at, size_t len) { return std::stoi(text.substr(at, len)); };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  std::string rest = text.substr(n);
  int millis = 0;
  if (rest.size() >= 2 && rest[0] == '.') {
    size_t digits = 1;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 1) return fail("\"" + text + "\" has a '.' with no digits after it");
    millis = std::stoi((rest.substr(1, std::min<size_t>(digits - 1, 3)) + "00").substr(0, 3));
    rest = rest.substr(digits);
  }
  if (rest != "Z") return fail("\"" + text + "\" does not end in Z (UTC)");
  if (month < 1 || month > 12)
    return fail("\"" + text + "\" has no month " + std::to_string(month));
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > days) {
    return fail("\"" + text + "\": month " + std::to_string(month) + " of " + std::to_string(year) +
                " has no day " + std::to_string(day));
  }
  if (hour > 23 || minute > 59 || second > 59) {
    return fail("\"" + text + "\" has no time " + text.substr(11, 8));
  }
  struct tm utc {};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  *unix_ms = static_cast<long long>(timegm(&utc)) * 1000 + millis;
  return true;
}

}  // namespace bridge
