// The conversion kernels: the byte-wise set and one per instruction set,
// chosen once when the library loads (q48_tb_kernels.cpp), and what the walk
// over coded text (Q48_Tb.cpp) may hand them.
//
// Each kernel takes only bytes whose rule it knows to be the one that applies
// and stops at the first byte it is unsure of, leaving it to the byte-wise
// walk. Every kernel keeps the raw index at or below the text index and
// stores k bytes only while k text bytes remain, so the raw buffer never
// needs more than the text's length. Nothing here is exported.
#ifndef Q48_TB_KERNELS_H
#define Q48_TB_KERNELS_H

#include <array>
#include <cctype>
#include <cstdint>

namespace q48tb {

struct coded_cursor {
  const unsigned char *pubText;
  unsigned int nText;
  unsigned int uiCodedIdx;
  unsigned char *pubOut;
  unsigned int uiRawIdx;
  // The C library's class table of the current locale: glibc builds it once
  // per locale, so asking it costs a load instead of a call per byte.
  const unsigned short *pusClass;
};

// A kernel's working copy of a cursor, written back when its scope ends.
// Held in registers: stores through pubOut may alias any memory, so the
// cursor itself would be reloaded after every store.
struct cursor_regs {
  explicit cursor_regs(coded_cursor &cur)
      : m_cur(cur), pubText(cur.pubText), nText(cur.nText), pubOut(cur.pubOut),
        uiIn(cur.uiCodedIdx), uiOut(cur.uiRawIdx) {}
  cursor_regs(const cursor_regs &) = delete;
  cursor_regs &operator=(const cursor_regs &) = delete;
  ~cursor_regs() {
    m_cur.uiCodedIdx = uiIn;
    m_cur.uiRawIdx = uiOut;
  }
  coded_cursor &m_cur;
  const unsigned char *const pubText;
  const unsigned int nText;
  unsigned char *const pubOut;
  unsigned int uiIn;
  unsigned int uiOut;
};

// One set of kernels. The three text kernels read pubText from uiCodedIdx up
// to nText (vector kernels in whole loads that end at or before nText) and
// write pubOut from uiRawIdx on; they advance both indices past what they
// took and touch nothing else, the record and the registry included.
struct coded_kernels {
  const char *pszName;
  // Exact "HH " groups (two hex digits, one blank) in hex mode with no digit
  // pending: one raw byte for each three text bytes.
  void (*hex_groups)(coded_cursor &cur);
  // Bytes of a quoted run up to, not including, its closing quote: one raw
  // byte for each text byte.
  void (*quoted_run)(coded_cursor &cur);
  // Plain text: ASCII bytes 0x21 to 0x7E without a rule of their own (every
  // locale counts them printable) are copied, blanks are skipped.
  void (*plain_run)(coded_cursor &cur);
  // Reads nRaw bytes at pubRaw and writes exactly 3 * nRaw + 2 bytes at
  // pubOut: "[" and n "HH " groups whose last blank becomes "]", then a NUL.
  void (*raw_to_coded)(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut);
};

// The kernels in use: the best the processor offers, unless a test chose.
const coded_kernels &kernels();
// Every kernel set built for this target, the byte-wise one first; null
// past the end. Sets the processor lacks are included: check usable().
const coded_kernels *kernel_set(int iIndex);
bool kernel_usable(const coded_kernels &set);
// Makes set the one in use (tests and fuzzers). Not for concurrent callers.
void use_kernels(const coded_kernels &set);

extern const coded_kernels kScalarKernels;
#if defined(__x86_64__)
extern const coded_kernels kSse2Kernels;
extern const coded_kernels kSsse3Kernels;
extern const coded_kernels kAvx2Kernels;
#elif defined(__arm__)
extern const coded_kernels kNeonKernels;
#endif

// Scalar pieces the vector kernels end with.
void scalar_quoted_run(coded_cursor &cur);

// Bytes that plain text must not copy blindly: the ones with a rule of their
// own, blanks included.
inline constexpr std::array<bool, 256> kPlainSpecial = [] {
  std::array<bool, 256> a{};
  for (unsigned char c : {' ', '\t', '/', '\\', '"', '['}) {
    a[c] = true;
  }
  return a;
}();

// Set bits of each byte value: a popcount instruction is not in the SSSE3
// or NEON baselines, and the library call would cost more than the table.
inline constexpr std::array<unsigned char, 256> kBitCount = [] {
  std::array<unsigned char, 256> a{};
  for (int i = 0; i < 256; ++i) {
    a[i] = static_cast<unsigned char>((i & 1) + (i >> 1 & 1) + (i >> 2 & 1) + (i >> 3 & 1) +
                                      (i >> 4 & 1) + (i >> 5 & 1) + (i >> 6 & 1) + (i >> 7 & 1));
  }
  return a;
}();

// Plain text byte by byte up to the next byte with a rule of its own;
// unprintable bytes are dropped. Inline: the walk runs it between any two
// rules, often for a few bytes only.
inline void scalar_plain_run(coded_cursor &cur) {
  const unsigned char *const pubText = cur.pubText;
  unsigned char *const pubOut = cur.pubOut;
  const unsigned short *const pusClass = cur.pusClass;
  const unsigned int nText = cur.nText;
  unsigned int uiIn = cur.uiCodedIdx;
  unsigned int uiOut = cur.uiRawIdx;
  while (uiIn < nText && !kPlainSpecial[pubText[uiIn]]) {
    const unsigned char c = pubText[uiIn++];
    pubOut[uiOut] = c;
    uiOut += (pusClass[c] & _ISprint) != 0 ? 1 : 0;
  }
  cur.uiCodedIdx = uiIn;
  cur.uiRawIdx = uiOut;
}
void scalar_raw_to_coded(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut);
// n "HH " groups at pubOut, spilling one byte past them.
void scalar_raw_triples(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut);
#if defined(__x86_64__)
// Five groups a step, for what the wider steps leave.
void sse2_hex_groups(coded_cursor &cur);
void ssse3_hex_groups(coded_cursor &cur);
void ssse3_plain_run(coded_cursor &cur);

constexpr unsigned char kZeroLane = 0x80; // a shuffle index that yields 0

// Constants of a 48-byte block of 16 groups, one row per 16-byte vector:
// which lanes hold digits and which blanks, where each group's high and low
// digit sit, and which raw byte each lane of the text shows.
struct group_block {
  alignas(16) unsigned char aubDigit[3][16];
  alignas(16) unsigned char aubBlank[3][16];
  alignas(16) unsigned char aubHigh[3][16];   // lane t: where group t's high digit is
  alignas(16) unsigned char aubLow[3][16];    // lane t: where group t's low digit is
  alignas(16) unsigned char aubSpread[3][16]; // text lane: index of its raw byte
  alignas(16) unsigned char aubNibbleHigh[3][16];
  alignas(16) unsigned char aubNibbleLow[3][16];
  alignas(16) unsigned char aubBlankIndex[3][16]; // kZeroLane on blank lanes
  alignas(16) unsigned char aubBlankText[3][16];  // ' ' on blank lanes
};
extern const group_block kGroupBlock;
#endif

} // namespace q48tb

#endif // Q48_TB_KERNELS_H
