// Text that a device or another program wrote, read one UTF-8 sequence at a
// time, and the code points that must not reach a reader as they stand. The
// CUPS backend drops them from its listing; q48-doctor shows them escaped.
#ifndef Q48_TEXT_H
#define Q48_TEXT_H

namespace q48 {

// The length (1 to 4) of the well-formed UTF-8 sequence at s, its code point
// in *cp; 0 for a byte that starts none: a stray continuation byte, an
// overlong form, a surrogate or a code point beyond U+10FFFF.
int utf8_sequence(const unsigned char *s, unsigned *cp);

// Controls (C0, DEL, C1) and Unicode's invisible format characters, which
// let one string pass for another on a screen.
bool hidden(unsigned cp);

} // namespace q48

#endif // Q48_TEXT_H
