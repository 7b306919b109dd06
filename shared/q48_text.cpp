#include "q48_text.h"

#include <algorithm>
#include <iterator>

namespace q48 {
namespace {

// Unicode's invisible format characters. Shown in lpinfo, the web interface
// or a terminal, they let a device's string pass for another: bidirectional
// overrides, embeddings, isolates and marks (U+061C, U+200E-200F,
// U+202A-202E, U+2066-2069) reorder what follows, so "Q48\u202E1000" reads
// as Q480001; zero-width ones (soft hyphen, U+180E, U+200B-200D, U+2060-2064,
// U+FEFF, tags) draw nothing, so two serials that differ by one look alike,
// and so do the deprecated shaping controls U+206A-206F and the annotation
// marks U+FFF9-FFFB; the separators U+2028-2029 end a line where a reader
// honours them. None belongs in a serial number or a maker's name.
struct code_range {
  unsigned first;
  unsigned last;
};
constexpr code_range kInvisible[] = {{0x00AD, 0x00AD}, {0x061C, 0x061C}, {0x180E, 0x180E},
                                     {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x206F},
                                     {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xE0000, 0xE007F}};

} // namespace

int utf8_sequence(const unsigned char *s, unsigned *cp) {
  const unsigned lead = *s;
  const int len = lead < 0x80                    ? 1
                  : lead >= 0xC2 && lead <= 0xDF ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  unsigned value = len == 1 ? lead : lead & (0x7Fu >> len);
  bool valid = len > 0;
  for (int i = 1; valid && i < len; i++) {
    valid = (s[i] & 0xC0) == 0x80;
    value = value << 6 | (s[i] & 0x3Fu);
  }
  // Overlong forms, surrogates and code points beyond Unicode are not UTF-8.
  valid = valid && !(len == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) &&
          !(len == 4 && (value < 0x10000 || value > 0x10FFFF));
  *cp = valid ? value : 0;
  return valid ? len : 0;
}

bool hidden(unsigned cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) ||
         std::any_of(std::begin(kInvisible), std::end(kInvisible), [cp](const code_range &range) {
           return cp >= range.first && cp <= range.last;
         });
}

} // namespace q48
