// A second, deliberately plain reading of the coded-text rules: one byte at a
// time, every rule in its order, no fast paths. The library's walk must agree
// with it on every text; the tests and the fuzzers compare the two.
#ifndef Q48_CODED_TEXT_MODEL_H
#define Q48_CODED_TEXT_MODEL_H

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

namespace model {

// "[", the pairs in upper case with one blank between two, "]" and a NUL.
inline std::string raw_to_coded(const unsigned char *raw, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "[";
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) {
      text += ' ';
    }
    text += digits[raw[i] >> 4];
    text += digits[raw[i] & 15];
  }
  text += ']';
  text += '\0';
  return text;
}

inline std::vector<unsigned char> coded_to_raw(const unsigned char *text, std::size_t size) {
  std::vector<unsigned char> raw;
  bool ascii = false;
  bool backslash = false;
  bool hex = false;
  unsigned char value = 0;
  int digits = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char c = text[i];
    if (ascii) {
      if (c == '"') {
        ascii = false;
      } else {
        raw.push_back(c);
      }
    } else if (c == '/' && i + 1 < size && text[i + 1] == '/') {
      break;
    } else if (c == ' ' || c == '\t') {
    } else if (backslash) {
      backslash = false;
      switch (c) {
      case 'A':
      case 'a':
        hex = false;
        value = 0;
        digits = 0;
        break;
      case 'X':
      case 'x':
        hex = true;
        value = 0;
        digits = 0;
        break;
      case 'b':
        raw.push_back(0x08);
        break;
      case 'f':
        raw.push_back(0x0C);
        break;
      case 'n':
        raw.push_back(0x0A);
        break;
      case 'r':
        raw.push_back(0x0D);
        break;
      case 't':
        raw.push_back(0x09);
        break;
      default:
        raw.push_back(c);
      }
    } else if (c == '\\') {
      backslash = true;
    } else if (c == '"') {
      ascii = true;
    } else if (hex) {
      const bool digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
      if (digit) {
        const int upper = std::toupper(c);
        const int v = upper <= '9' ? upper - 0x30 : upper - 0x37;
        value = static_cast<unsigned char>(digits == 0 ? value | (v << 4) : value | v);
        if (++digits > 1) {
          raw.push_back(value);
          value = 0;
          digits = 0;
        }
      } else {
        hex = false;
        value = 0;
        digits = 0;
      }
    } else if (c == '[') {
      hex = true;
      value = 0;
      digits = 0;
    } else if (std::isprint(c)) {
      raw.push_back(c);
    }
  }
  return raw;
}

} // namespace model

#endif
