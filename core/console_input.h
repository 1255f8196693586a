// Reading whitespace-separated decimal integers from standard input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class TokenResult {
  // The flight record keeps these as 0, 1, 2.
  kNumber = 0,     // a decimal integer was read
  kNotNumber = 1,  // a token that is not a decimal integer was read and skipped
  kEnd = 2,        // the input has ended (or cannot be read any more)
};

// Reads one token: leading white space is skipped, then everything up to the
// next white space. An optional sign and digits make a number; values beyond
// the 32-bit range are clamped to it. Blocks until a token or the end of the
// input; never returns without having consumed input, except at the end.
// With a token buffer, the token's first token_size - 1 bytes are kept there
// (NUL-terminated), for naming a token that is not a number.
TokenResult read_int_token(FILE* in, int32_t* value, char* token = nullptr, size_t token_size = 0);
