// The sectioned settings file: "#NAME" headlines, each followed by NAME=bits
// properties, read strictly forward one character at a time. Runs on the main
// thread during start-up only; nothing here is shared with another thread.
#pragma once
#include <cstdint>
#include <cstdio>

// Longest headline (the "#" included) and longest property name.
inline constexpr int kFileNameMax = 19;
// A value has one to seven binary digits, so it fits 0..127.
inline constexpr int kFileDigitsMax = 7;

// One property as the reader hands it over: 21 bytes.
struct FileProperty {
  char name[kFileNameMax + 1];  // NUL-padded, so always terminated
  uint8_t value;                // 0..127
};
static_assert(sizeof(FileProperty) == 21);

// Results of file_readProperty.
enum : int {
  kPropMalformed = 0,  // the record is not to be used; reading may go on
  kPropRead = 1,
  kPropEnd = 2,  // end of the section or of the file
};

// The open settings file; null while none is open.
extern FILE* file_settings;
// The candidate headline being compared, terminated.
extern char file_string[kFileNameMax + 1];

// Opens `path` for reading and stores the stream, or null, in *handle.
// Returns 1 when the file is open, 0 when it is not.
int file_openSettings(const char* path, FILE** handle);
// Seeks, from the current position, the headline equal to `headline` (the "#"
// included). Returns 1 when found, the stream just after the blank that ends
// it; 0 at the end of the file or at a candidate of 20 or more characters.
int file_readHeadline(const char* headline, FILE* f);
// Reads the next property into *prop: kPropRead, kPropMalformed or kPropEnd.
int file_readProperty(FileProperty* prop, FILE* f);
void file_closeSettings(FILE* f);
