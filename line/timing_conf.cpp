#include "line/timing_conf.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "line/drivers.h"
#include "line/timing.h"

namespace {

// Every key of every system at most once: 9 standard systems of 9 keys,
// common's 12 and Marshal's 5.
constexpr size_t kMaxOverrides = 128;
// Past this many, an installer has the wrong file rather than a few slips.
constexpr size_t kMaxProblems = 64;

struct Override {
  const char* system;  // the section names in kIntercomSystems
  const char* key;
  unsigned value;
  int line;
};

Override g_overrides[kMaxOverrides];
size_t g_override_count = 0;

struct Problem {
  int line;
  char text[512];
};

// A key as the field table has it (its string outlives inih's buffer), or
// nullptr when the system has no such key.
struct KeyRange {
  const char* key;
  unsigned min;
  unsigned max;
};

template <class T>
KeyRange find_key(std::span<const TimingField<T>> fields, const char* key) {
  for (const TimingField<T>& f : fields) {
    if (strcmp(f.key, key) == 0) {
      return {f.key, f.min, f.max};
    }
  }
  return {nullptr, 0, 0};
}

KeyRange find_key(TimingKind kind, const char* key) {
  switch (kind) {
    case TimingKind::kStandard:
      return find_key<StandardTimings>(kStandardFields, key);
    case TimingKind::kCommon:
      return find_key<CommonTimings>(kCommonFields, key);
    case TimingKind::kMarshal:
      return find_key<MarshalTimings>(kMarshalFields, key);
  }
  return {nullptr, 0, 0};
}

template <class T>
void list_keys(std::span<const TimingField<T>> fields, char* out, size_t size) {
  for (const TimingField<T>& f : fields) {
    const size_t used = strlen(out);
    snprintf(out + used, size - used, "%s%s", used == 0 ? "" : ", ", f.key);
  }
}

void list_keys(TimingKind kind, char* out, size_t size) {
  switch (kind) {
    case TimingKind::kStandard:
      return list_keys<StandardTimings>(kStandardFields, out, size);
    case TimingKind::kCommon:
      return list_keys<CommonTimings>(kCommonFields, out, size);
    case TimingKind::kMarshal:
      return list_keys<MarshalTimings>(kMarshalFields, out, size);
  }
}

// The file is read in passes: inih names only the first line it cannot
// make sense of, so each such line is blanked out for the next pass until
// a pass finds none. The keys of the last pass are the ones checked.
struct Reading {
  FILE* file = nullptr;
  int line = 0;
  int read_errno = 0;

  int bad_lines[kMaxProblems] = {};
  size_t bad_count = 0;

  Problem problems[kMaxProblems];
  size_t problem_count = 0;
  bool too_many = false;

  Override found[kMaxOverrides];
  size_t found_count = 0;
  char last_unknown_section[64] = {};

  void start_pass() {
    line = 0;
    read_errno = 0;
    problem_count = 0;
    too_many = false;
    found_count = 0;
    last_unknown_section[0] = '\0';
    rewind(file);
  }

  bool is_bad(int l) const {
    return std::find(bad_lines, bad_lines + bad_count, l) != bad_lines + bad_count;
  }

  [[gnu::format(printf, 3, 4)]] void problem(int l, const char* format, ...) {
    if (problem_count == kMaxProblems) {
      too_many = true;
      return;
    }
    Problem& p = problems[problem_count++];
    p.line = l;
    va_list args;
    va_start(args, format);
    vsnprintf(p.text, sizeof p.text, format, args);
    va_end(args);
  }
};

// inih's reader, one line per call. A line too long for inih's buffer would
// reach it in pieces and be read as several lines; it is refused whole.
char* read_line(char* str, int num, void* stream) {
  Reading& r = *static_cast<Reading*>(stream);
  errno = 0;
  if (fgets(str, num, r.file) == nullptr) {
    if (ferror(r.file)) {
      r.read_errno = errno != 0 ? errno : EIO;
    }
    return nullptr;
  }
  ++r.line;
  const size_t n = strlen(str);
  const bool cut = n > 0 && str[n - 1] != '\n' && !feof(r.file);
  if (cut) {
    for (int c = fgetc(r.file); c != EOF && c != '\n'; c = fgetc(r.file)) {
    }
    r.problem(r.line, "the line is longer than %d characters", num - 2);
  }
  if (cut || r.is_bad(r.line)) {
    strcpy(str, "\n");
  }
  return str;
}

bool is_whole_number(const char* s) {
  if (*s == '\0') {
    return false;
  }
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') {
      return false;
    }
  }
  return true;
}

int on_key(void* user, const char* section, const char* key, const char* value) {
  Reading& r = *static_cast<Reading*>(user);
  const int line = r.line;
  if (section[0] == '\0') {
    r.problem(line, "%s is outside any [section]; put it under the system it is for", key);
    return 1;
  }
  const IntercomSystem* system = timing_section_owner(section);
  if (system == nullptr) {
    if (strcmp(r.last_unknown_section, section) != 0) {
      snprintf(r.last_unknown_section, sizeof r.last_unknown_section, "%s", section);
      char names[256] = {};
      for (const IntercomSystem& s : kIntercomSystems) {
        if (s.timing_section != nullptr && timing_section_owner(s.timing_section) == &s) {
          const size_t used = strlen(names);
          snprintf(names + used, sizeof names - used, "%s%s", used == 0 ? "" : ", ",
                   s.timing_section);
        }
      }
      r.problem(line, "unknown section [%.40s]; the sections are %s", section, names);
    }
    return 1;
  }
  const char* const name = system->timing_section;
  const KeyRange range = find_key(system->timing_kind, key);
  if (range.key == nullptr) {
    char keys[400] = {};
    list_keys(system->timing_kind, keys, sizeof keys);
    r.problem(line, "unknown key %.40s in [%s]; its keys are %s", key, name, keys);
    return 1;
  }
  const bool counts = range.min == kMinPresses && range.max == kMaxPresses;
  if (value[0] == '\0') {
    r.problem(line, "%s has no value", key);
    return 1;
  }
  if (!is_whole_number(value)) {
    r.problem(line, "%s = %.40s is not a whole number%s", key, value,
              strchr(value, '#') != nullptr ? " (a comment goes on a line of its own)" : "");
    return 1;
  }
  // Past nine digits it is out of range anyway, and strtoul cannot overflow.
  const unsigned long n = strlen(value) > 9 ? 1000000000ul : strtoul(value, nullptr, 10);
  if (n < range.min || n > range.max) {
    r.problem(line, "%s = %.40s is outside %u..%u%s", key, value, range.min, range.max,
              counts ? "" : " ms");
    return 1;
  }
  for (size_t i = 0; i < r.found_count; ++i) {
    const Override& o = r.found[i];
    if (o.system == name && strcmp(o.key, key) == 0) {
      r.problem(line, "%s in [%s] is set already, on line %d", key, name, o.line);
      return 1;
    }
  }
  if (r.found_count < kMaxOverrides) {
    r.found[r.found_count++] = {name, range.key, static_cast<unsigned>(n), line};
  }
  return 1;
}

}  // namespace

void timing_conf_clear() { g_override_count = 0; }

bool timing_conf_load(const char* path) {
  timing_conf_clear();
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    if (errno == ENOENT) {
      return true;  // no file: the compiled-in timings
    }
    fprintf(stderr, "%s: cannot be read (%s)\n", path, strerror(errno));
    return false;
  }
  static Reading r;  // a few tens of kilobytes, and start-up runs once
  r = Reading{};
  r.file = file;
  for (;;) {
    r.start_pass();
    const int first_bad = ini_parse_stream(read_line, &r, on_key, &r);
    if (first_bad <= 0 || r.is_bad(first_bad) || r.bad_count == kMaxProblems) {
      break;
    }
    r.bad_lines[r.bad_count++] = first_bad;
  }
  fclose(file);
  if (r.read_errno != 0) {
    fprintf(stderr, "%s: cannot be read (%s)\n", path, strerror(r.read_errno));
    return false;
  }
  for (size_t i = 0; i < r.bad_count; ++i) {
    r.problem(r.bad_lines[i], "neither a [section] nor a key = value line");
  }
  if (r.problem_count > 0) {
    // By line, in the order found within a line; an insertion sort, since
    // std::stable_sort would take a buffer from the heap.
    for (size_t i = 1; i < r.problem_count; ++i) {
      for (size_t j = i; j > 0 && r.problems[j].line < r.problems[j - 1].line; --j) {
        std::swap(r.problems[j], r.problems[j - 1]);
      }
    }
    for (size_t i = 0; i < r.problem_count; ++i) {
      fprintf(stderr, "%s:%d: %s\n", path, r.problems[i].line, r.problems[i].text);
    }
    if (r.too_many) {
      fprintf(stderr, "%s: more problems than these %zu; is it the right file?\n", path,
              r.problem_count);
    }
    return false;
  }
  std::copy(r.found, r.found + r.found_count, g_overrides);
  g_override_count = r.found_count;
  return true;
}

const unsigned* timing_override(const char* system, const char* key) {
  for (size_t i = 0; i < g_override_count; ++i) {
    const Override& o = g_overrides[i];
    if (strcmp(o.system, system) == 0 && strcmp(o.key, key) == 0) {
      return &o.value;
    }
  }
  return nullptr;
}

void report_timing_override(const char* system, const char* key, unsigned value,
                            unsigned default_value) {
  char was[16];
  if (default_value == kNoWait) {
    snprintf(was, sizeof was, "none");
  } else {
    snprintf(was, sizeof was, "%u", default_value);
  }
  fprintf(stderr, "timing: %s %s = %u (default %s)\n", system, key, value, was);
}
