#include "bridge/log.h"

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

bool parse_iso_time(const std::string& text, long long* unix_ms) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
             &second, &used) != 6) {
    return false;
  }
  std::string rest = text.substr(static_cast<size_t>(used));
  int millis = 0;
  if (rest.size() >= 4 && rest[0] == '.') {
    size_t digits = 1;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
      ++digits;
    }
    const std::string fraction = (rest.substr(1, digits - 1) + "000").substr(0, 3);
    millis = std::stoi(fraction);
    rest = rest.substr(digits);
  }
  if (rest != "Z" || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return false;
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
