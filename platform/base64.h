// Base64 with the standard alphabet and "=" as fill character, without line
// breaks: the token of HTTP basic authentication and the stored form of the
// launcher's proxy password.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// Encodes bytes; 4 characters for every started group of 3 bytes, padded
// with "=", and never a line break however long the input.
std::string Base64Encode(std::string_view data);

// Thrown by Base64Decode for text that is not Base64.
class EBase64Error : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Decodes Base64 text back into bytes. Line breaks (CR, LF) are skipped as
// MIME allows; the final "=" padding may be left out. Any other character
// outside the alphabet, a "=" before the end, or a final group of a single
// character throws EBase64Error with a text that says what is wrong.
std::string Base64Decode(std::string_view text);
