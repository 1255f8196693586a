#include "codec/File_RxTx.h"

#include <cstring>

FILE* file_settings = nullptr;
char file_string[kFileNameMax + 1] = {};

namespace {

// Outside every byte value: the file is read as bytes, and 0xFF is a byte
// like any other, so the end cannot be told from the character itself.
constexpr int kAtEnd = 0x100;

// Tabs are deliberately not blanks: a tab belongs to the name or headline it
// stands in, and is passed over inside a value.
bool is_blank(int c) { return c == ' ' || c == '\n' || c == '\r'; }

// The next byte, or kAtEnd once feof says the file is used up. A read error
// counts as the end as well: such a stream never reaches feof, and the
// headline search and the property loop would then never stop.
int next_char(FILE* f) {
  const int c = fgetc(f);
  if (feof(f) != 0 || ferror(f) != 0) {
    return kAtEnd;
  }
  return c;
}

bool ends_section(int c) { return c == kAtEnd || c == '#'; }

}  // namespace

int file_openSettings(const char* path, FILE** handle) {
  *handle = fopen(path, "r");
  return *handle != nullptr ? 1 : 0;
}

void file_closeSettings(FILE* f) {
  if (f != nullptr) {
    fclose(f);
  }
}

int file_readHeadline(const char* headline, FILE* f) {
  const size_t wanted = strlen(headline);
  for (;;) {
    // Any "#" opens a candidate, even in mid-line; what stands before it is
    // of no interest.
    int c = 0;
    do {
      c = next_char(f);
    } while (c != kAtEnd && c != '#');
    if (c == kAtEnd) {
      return 0;
    }
    size_t n = 0;
    do {
      if (n == kFileNameMax) {
        return 0;  // 20 characters: no headline is that long, give up
      }
      file_string[n++] = static_cast<char>(c);
      c = next_char(f);
    } while (c != kAtEnd && !is_blank(c));
    file_string[n] = '\0';
    // By length and bytes: a NUL byte read from the file is part of the
    // candidate and must not cut the comparison short.
    if (n == wanted && memcmp(file_string, headline, n) == 0) {
      return 1;
    }
    if (c == kAtEnd) {
      return 0;
    }
  }
}

int file_readProperty(FileProperty* prop, FILE* f) {
  int c = 0;
  do {
    c = next_char(f);
    if (ends_section(c)) {
      return kPropEnd;
    }
  } while (is_blank(c));

  // The name runs up to a blank or "="; it may be empty.
  int n = 0;
  while (!is_blank(c) && c != '=') {
    if (n == kFileNameMax) {
      return kPropMalformed;  // the 20th character has been read and is gone
    }
    prop->name[n++] = static_cast<char>(c);
    c = next_char(f);
    if (ends_section(c)) {
      return kPropMalformed;
    }
  }
  memset(prop->name + n, 0, sizeof prop->name - static_cast<size_t>(n));

  // "=" may be missing or repeated, and the value may stand on a later line.
  while (is_blank(c) || c == '=') {
    c = next_char(f);
    if (ends_section(c)) {
      return kPropEnd;
    }
  }

  // First digit most significant; anything but "0" and "1" is passed over.
  unsigned value = 0;
  int digits = 0;
  do {
    if (c == '0' || c == '1') {
      if (digits == kFileDigitsMax) {
        return kPropMalformed;
      }
      value = (value << 1) | static_cast<unsigned>(c - '0');
      ++digits;
    }
    c = next_char(f);
  } while (!ends_section(c) && !is_blank(c));
  prop->value = static_cast<uint8_t>(value);
  return kPropRead;
}
