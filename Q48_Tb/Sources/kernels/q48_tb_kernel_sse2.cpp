// SSE2 kernels: the floor of every x86-64 processor, so they need no check.

#include "q48_tb_kernels.h"

#if defined(__x86_64__)

#include <emmintrin.h>

#include <cstring>

namespace q48tb {
namespace {

// Lanes 0..15 where the byte is 0x21 to 0x7E and has no rule of its own in
// plain text: the bytes every locale prints and the walk copies as they are.
__m128i sse2_copyable(__m128i vText) {
  const __m128i vOffset = _mm_sub_epi8(vText, _mm_set1_epi8(0x21));
  const __m128i fRange =
      _mm_cmpeq_epi8(_mm_subs_epu8(vOffset, _mm_set1_epi8(0x5D)), _mm_setzero_si128());
  const __m128i fSpecial = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(vText, _mm_set1_epi8('/')),
                                                     _mm_cmpeq_epi8(vText, _mm_set1_epi8('\\'))),
                                        _mm_or_si128(_mm_cmpeq_epi8(vText, _mm_set1_epi8('"')),
                                                     _mm_cmpeq_epi8(vText, _mm_set1_epi8('['))));
  return _mm_andnot_si128(fSpecial, fRange);
}

void sse2_quoted_run(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    const __m128i vQuote = _mm_set1_epi8('"');
    while (r.uiIn + 16 <= r.nText) {
      const __m128i vText = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r.pubText + r.uiIn));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(r.pubOut + r.uiOut), vText);
      const int iQuotes = _mm_movemask_epi8(_mm_cmpeq_epi8(vText, vQuote));
      const unsigned int nTaken =
          iQuotes == 0 ? 16 : static_cast<unsigned int>(__builtin_ctz(iQuotes));
      r.uiIn += nTaken;
      r.uiOut += nTaken;
      if (nTaken != 16) {
        return;
      }
    }
  }
  scalar_quoted_run(cur);
}

// Without a byte shuffle blanks cannot be squeezed out: stretches without
// any are copied, the rest goes byte by byte.
void sse2_plain_run(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    while (r.uiIn + 16 <= r.nText) {
      const __m128i vText = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r.pubText + r.uiIn));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(r.pubOut + r.uiOut), vText);
      const int iStops = ~_mm_movemask_epi8(sse2_copyable(vText)) & 0xFFFF;
      const unsigned int nTaken =
          iStops == 0 ? 16 : static_cast<unsigned int>(__builtin_ctz(iStops));
      r.uiIn += nTaken;
      r.uiOut += nTaken;
      if (nTaken != 16) {
        return;
      }
    }
  }
}

} // namespace

// Five "HH " groups (two hex digits and one blank) per 16-byte load, for as
// long as the text consists of nothing else. Only exact groups are taken, so
// every rule that could apply to them is the hex-mode one; anything else
// stops the loop and is left to the byte-wise walk. With nHex 0 on entry, the
// five digit pairs are exactly the five bytes the walk would append.
void sse2_hex_groups(coded_cursor &cur) {
  constexpr int kDigitLanes = 0x36DB; // lanes 0 1 3 4 6 7 9 10 12 13
  constexpr int kBlankLanes = 0x4924; // lanes 2 5 8 11 14
  const __m128i vZero = _mm_setzero_si128();
  const __m128i vChar0 = _mm_set1_epi8('0');
  const __m128i vCharA = _mm_set1_epi8('a');
  const __m128i vCase = _mm_set1_epi8(0x20);
  const __m128i vNine = _mm_set1_epi8(9);
  const __m128i vFive = _mm_set1_epi8(5);
  const __m128i vTen = _mm_set1_epi8(10);
  const __m128i vHighNibble = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i vSpace = _mm_set1_epi8(' ');
  const __m128i vTab = _mm_set1_epi8('\t');
  const unsigned char *pubText = cur.pubText;
  unsigned int uiIn = cur.uiCodedIdx;
  unsigned char *pub = cur.pubOut + cur.uiRawIdx;
  // The 8-byte store below writes three bytes past the five it means. That
  // stays inside the raw buffer: the raw index never passes the text index,
  // and the loop stops 16 bytes short of the text's end.
  const unsigned int nText = cur.nText;
  while (uiIn + 16 <= nText) {
    const __m128i vText = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pubText + uiIn));
    const __m128i vDec = _mm_sub_epi8(vText, vChar0);
    const __m128i vLetter = _mm_sub_epi8(_mm_or_si128(vText, vCase), vCharA);
    const __m128i fDec = _mm_cmpeq_epi8(_mm_subs_epu8(vDec, vNine), vZero);
    const __m128i fLetter = _mm_cmpeq_epi8(_mm_subs_epu8(vLetter, vFive), vZero);
    const __m128i fBlank = _mm_or_si128(_mm_cmpeq_epi8(vText, vSpace), _mm_cmpeq_epi8(vText, vTab));
    const int iDigits = _mm_movemask_epi8(_mm_or_si128(fDec, fLetter));
    const int iBlanks = _mm_movemask_epi8(fBlank);
    if ((iDigits & kDigitLanes) != kDigitLanes || (iBlanks & kBlankLanes) != kBlankLanes) {
      break;
    }
    const __m128i vValue = _mm_or_si128(_mm_and_si128(fDec, vDec),
                                        _mm_andnot_si128(fDec, _mm_add_epi8(vLetter, vTen)));
    // Lane i: its own value as high nibble, lane i + 1's as low nibble.
    const __m128i vPairs = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(vValue, 4), vHighNibble),
                                        _mm_srli_si128(vValue, 1));
    // Lanes 0 3 6 9 12 hold the bytes; gathered in general registers, as
    // SSE2 has no byte shuffle.
    const auto ulLow = static_cast<std::uint64_t>(_mm_cvtsi128_si64(vPairs));
    const auto ulHigh = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_srli_si128(vPairs, 8)));
    const std::uint64_t ulOut = (ulLow & 0xFF) | ((ulLow >> 16) & 0xFF00) |
                                ((ulLow >> 32) & 0xFF0000) | ((ulHigh << 16) & 0xFF000000) |
                                (ulHigh & 0xFF00000000);
    std::memcpy(pub, &ulOut, 8);
    pub += 5;
    uiIn += 15;
  }
  cur.uiRawIdx = static_cast<unsigned int>(pub - cur.pubOut);
  cur.uiCodedIdx = uiIn;
}

const coded_kernels kSse2Kernels = {"sse2", sse2_hex_groups, sse2_quoted_run, sse2_plain_run,
                                    scalar_raw_to_coded};

} // namespace q48tb

#endif
