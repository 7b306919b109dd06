// SSSE3 kernels: the byte shuffle gathers and scatters whole blocks of
// "HH " groups and squeezes the blanks out of plain words. Chosen at load
// time only where the processor has SSSE3.

#include "q48_tb_kernels.h"

#if defined(__x86_64__)

#include <tmmintrin.h>

#include <array>

#define Q48_SSSE3 __attribute__((target("ssse3")))

namespace q48tb {
namespace {

const group_block &kBlock = kGroupBlock;

// For each 8-bit mask, the indices of its set bits in order: the shuffle
// that packs the kept bytes of 8 lanes to the front.
constexpr std::array<std::array<unsigned char, 8>, 256> kLeftPack = [] {
  std::array<std::array<unsigned char, 8>, 256> a{};
  for (int m = 0; m < 256; ++m) {
    int k = 0;
    for (int i = 0; i < 8; ++i) {
      if ((m >> i & 1) != 0) {
        a[m][k++] = static_cast<unsigned char>(i);
      }
    }
    for (; k < 8; ++k) {
      a[m][k] = kZeroLane;
    }
  }
  return a;
}();

Q48_SSSE3 __m128i row(const unsigned char (&aub)[3][16], int j) {
  return _mm_load_si128(reinterpret_cast<const __m128i *>(aub[j]));
}

Q48_SSSE3 void ssse3_raw_to_coded(const unsigned char *pubRaw, unsigned int nRaw,
                                  unsigned char *pubOut) {
  const __m128i vDigits =
      _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
  const __m128i vNibble = _mm_set1_epi8(0x0F);
  pubOut[0] = '[';
  unsigned char *pub = pubOut + 1;
  unsigned int ui = 0;
  for (; ui + 16 <= nRaw; ui += 16) {
    const __m128i vRaw = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pubRaw + ui));
    for (int j = 0; j < 3; ++j) {
      const __m128i vByte = _mm_shuffle_epi8(vRaw, row(kBlock.aubSpread, j));
      const __m128i vHigh = _mm_and_si128(_mm_srli_epi16(vByte, 4), vNibble);
      const __m128i vLow = _mm_and_si128(vByte, vNibble);
      const __m128i vIndex =
          _mm_or_si128(_mm_or_si128(_mm_and_si128(vHigh, row(kBlock.aubNibbleHigh, j)),
                                    _mm_and_si128(vLow, row(kBlock.aubNibbleLow, j))),
                       row(kBlock.aubBlankIndex, j));
      const __m128i vText =
          _mm_or_si128(_mm_shuffle_epi8(vDigits, vIndex), row(kBlock.aubBlankText, j));
      unsigned char *pubBlock =
          pub + 3 * static_cast<std::size_t>(ui) + 16 * static_cast<std::size_t>(j);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(pubBlock), vText);
    }
  }
  scalar_raw_triples(pubRaw + ui, nRaw - ui, pub + 3 * static_cast<std::size_t>(ui));
  pubOut[3 * static_cast<std::size_t>(nRaw)] = ']';
  pubOut[3 * static_cast<std::size_t>(nRaw) + 1] = '\0';
}

} // namespace

constexpr group_block kGroupBlock = [] {
  group_block b{};
  for (int j = 0; j < 3; ++j) {
    for (int p = 0; p < 16; ++p) {
      const int q = 16 * j + p;
      const int r = q % 3;
      b.aubDigit[j][p] = r < 2 ? 0xFF : 0;
      b.aubBlank[j][p] = r == 2 ? 0xFF : 0;
      b.aubHigh[j][p] = kZeroLane;
      b.aubLow[j][p] = kZeroLane;
      b.aubSpread[j][p] = r < 2 ? static_cast<unsigned char>(q / 3) : kZeroLane;
      b.aubNibbleHigh[j][p] = r == 0 ? 0xFF : 0;
      b.aubNibbleLow[j][p] = r == 1 ? 0xFF : 0;
      b.aubBlankIndex[j][p] = r == 2 ? kZeroLane : 0;
      b.aubBlankText[j][p] = r == 2 ? ' ' : 0;
    }
  }
  for (int t = 0; t < 16; ++t) {
    b.aubHigh[(3 * t) / 16][t] = static_cast<unsigned char>((3 * t) % 16);
    b.aubLow[(3 * t + 1) / 16][t] = static_cast<unsigned char>((3 * t + 1) % 16);
  }
  return b;
}();

// Sixteen groups (48 text bytes) a step while every digit lane holds a hex
// digit and every third lane a blank; what is left goes five groups a step.
Q48_SSSE3 void ssse3_hex_groups(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    const __m128i vZero = _mm_setzero_si128();
    const __m128i vChar0 = _mm_set1_epi8('0');
    const __m128i vCharA = _mm_set1_epi8('a');
    const __m128i vCase = _mm_set1_epi8(0x20);
    const __m128i vNine = _mm_set1_epi8(9);
    const __m128i vFive = _mm_set1_epi8(5);
    const __m128i vTen = _mm_set1_epi8(10);
    const __m128i vSpace = _mm_set1_epi8(' ');
    const __m128i vTab = _mm_set1_epi8('\t');
    while (r.uiIn + 48 <= r.nText) {
      __m128i avValue[3];
      __m128i vGood = _mm_set1_epi8(-1);
      for (int j = 0; j < 3; ++j) {
        const __m128i vText = _mm_loadu_si128(reinterpret_cast<const __m128i *>(
            r.pubText + r.uiIn + 16 * static_cast<std::size_t>(j)));
        const __m128i vDec = _mm_sub_epi8(vText, vChar0);
        const __m128i vLetter = _mm_sub_epi8(_mm_or_si128(vText, vCase), vCharA);
        const __m128i fDec = _mm_cmpeq_epi8(_mm_subs_epu8(vDec, vNine), vZero);
        const __m128i fLetter = _mm_cmpeq_epi8(_mm_subs_epu8(vLetter, vFive), vZero);
        const __m128i fBlank =
            _mm_or_si128(_mm_cmpeq_epi8(vText, vSpace), _mm_cmpeq_epi8(vText, vTab));
        const __m128i fLane =
            _mm_or_si128(_mm_and_si128(_mm_or_si128(fDec, fLetter), row(kBlock.aubDigit, j)),
                         _mm_and_si128(fBlank, row(kBlock.aubBlank, j)));
        vGood = _mm_and_si128(vGood, fLane);
        avValue[j] = _mm_or_si128(_mm_and_si128(fDec, vDec),
                                  _mm_andnot_si128(fDec, _mm_add_epi8(vLetter, vTen)));
      }
      if (_mm_movemask_epi8(vGood) != 0xFFFF) {
        break;
      }
      __m128i vHigh = vZero;
      __m128i vLow = vZero;
      for (int j = 0; j < 3; ++j) {
        vHigh = _mm_or_si128(vHigh, _mm_shuffle_epi8(avValue[j], row(kBlock.aubHigh, j)));
        vLow = _mm_or_si128(vLow, _mm_shuffle_epi8(avValue[j], row(kBlock.aubLow, j)));
      }
      // Nibbles stay below 16, so the 16-bit shift moves nothing across bytes.
      _mm_storeu_si128(reinterpret_cast<__m128i *>(r.pubOut + r.uiOut),
                       _mm_or_si128(_mm_slli_epi16(vHigh, 4), vLow));
      r.uiIn += 48;
      r.uiOut += 16;
    }
  }
  sse2_hex_groups(cur);
}

// Plain words with blanks between them: the kept bytes of each half are
// packed to the front by a shuffle from kLeftPack.
Q48_SSSE3 void ssse3_plain_run(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    const __m128i vSpace = _mm_set1_epi8(' ');
    const __m128i vTab = _mm_set1_epi8('\t');
    const __m128i vEight = _mm_set1_epi8(8);
    while (r.uiIn + 16 <= r.nText) {
      const __m128i vText = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r.pubText + r.uiIn));
      const __m128i vOffset = _mm_sub_epi8(vText, _mm_set1_epi8(0x21));
      const __m128i fRange =
          _mm_cmpeq_epi8(_mm_subs_epu8(vOffset, _mm_set1_epi8(0x5D)), _mm_setzero_si128());
      const __m128i fSpecial =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(vText, _mm_set1_epi8('/')),
                                    _mm_cmpeq_epi8(vText, _mm_set1_epi8('\\'))),
                       _mm_or_si128(_mm_cmpeq_epi8(vText, _mm_set1_epi8('"')),
                                    _mm_cmpeq_epi8(vText, _mm_set1_epi8('['))));
      const unsigned int uiCopy =
          static_cast<unsigned int>(_mm_movemask_epi8(_mm_andnot_si128(fSpecial, fRange)));
      const unsigned int uiBlank = static_cast<unsigned int>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(vText, vSpace), _mm_cmpeq_epi8(vText, vTab))));
      const unsigned int uiStops = ~(uiCopy | uiBlank) & 0xFFFF;
      const unsigned int nLanes =
          uiStops == 0 ? 16 : static_cast<unsigned int>(__builtin_ctz(uiStops));
      const unsigned int uiKeep = uiCopy & ((1u << nLanes) - 1);
      unsigned char *pub = r.pubOut + r.uiOut;
      if (uiKeep == 0xFFFF) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pub), vText);
        pub += 16;
      } else {
        const unsigned int uiLow = uiKeep & 0xFF;
        const unsigned int uiHigh = uiKeep >> 8;
        const __m128i vPackLow =
            _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kLeftPack[uiLow].data()));
        const __m128i vPackHigh = _mm_add_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kLeftPack[uiHigh].data())), vEight);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(pub), _mm_shuffle_epi8(vText, vPackLow));
        pub += kBitCount[uiLow];
        _mm_storel_epi64(reinterpret_cast<__m128i *>(pub), _mm_shuffle_epi8(vText, vPackHigh));
        pub += kBitCount[uiHigh];
      }
      r.uiOut = static_cast<unsigned int>(pub - r.pubOut);
      r.uiIn += nLanes;
      if (nLanes != 16) {
        return;
      }
    }
  }
}

void ssse3_quoted_run(coded_cursor &cur) { kSse2Kernels.quoted_run(cur); }

const coded_kernels kSsse3Kernels = {"ssse3", ssse3_hex_groups, ssse3_quoted_run, ssse3_plain_run,
                                     ssse3_raw_to_coded};

} // namespace q48tb

#endif
