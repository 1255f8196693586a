#include "core/console_input.h"

#include <cctype>
#include <climits>

#include "record/flight_record.h"

namespace {
bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

TokenResult scan_int_token(FILE* in, int32_t* value, char* token, size_t token_size);
}  // namespace

TokenResult read_int_token(FILE* in, int32_t* value, char* token, size_t token_size) {
  const TokenResult r = scan_int_token(in, value, token, token_size);
  record_token(static_cast<int>(r), value, token);
  return r;
}

namespace {
TokenResult scan_int_token(FILE* in, int32_t* value, char* token, size_t token_size) {
  size_t kept = 0;
  // Keeps c in the token buffer while there is room; returns the next byte.
  const auto next = [&](int c) {
    if (token != nullptr && kept + 1 < token_size) {
      token[kept++] = static_cast<char>(c);
      token[kept] = '\0';
    }
    return fgetc(in);
  };
  if (token != nullptr && token_size > 0) {
    token[0] = '\0';
  }
  int c = fgetc(in);
  while (c != EOF && is_blank(c)) {
    c = fgetc(in);
  }
  if (c == EOF) {
    return TokenResult::kEnd;
  }
  bool negative = false;
  bool digits = false;
  bool valid = true;
  int64_t magnitude = 0;
  if (c == '-' || c == '+') {
    negative = (c == '-');
    c = next(c);
  }
  for (; c != EOF && !is_blank(c); c = next(c)) {
    if (c < '0' || c > '9') {
      valid = false;
      continue;
    }
    digits = true;
    if (magnitude <= INT32_MAX) {
      magnitude = magnitude * 10 + (c - '0');
    }
  }
  if (!valid || !digits) {
    return TokenResult::kNotNumber;
  }
  const int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > INT32_MAX) {
    *value = INT32_MAX;
  } else if (signed_value < INT32_MIN) {
    *value = INT32_MIN;
  } else {
    *value = static_cast<int32_t>(signed_value);
  }
  return TokenResult::kNumber;
}
}  // namespace
