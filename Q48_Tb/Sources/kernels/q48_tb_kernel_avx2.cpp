// AVX2 kernels: the SSSE3 blocks twice over, one per 128-bit lane, since
// AVX2 shuffles bytes only within a lane. Chosen at load time only where the
// processor has AVX2.

#include "q48_tb_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define Q48_AVX2 __attribute__((target("avx2")))

namespace q48tb {
namespace {

const group_block &kBlock = kGroupBlock;

// A row in both lanes.
Q48_AVX2 __m256i row(const unsigned char (&aub)[3][16], int j) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(aub[j])));
}

Q48_AVX2 __m256i load_pair(const unsigned char *pubLow, const unsigned char *pubHigh) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pubLow))),
      _mm_loadu_si128(reinterpret_cast<const __m128i *>(pubHigh)), 1);
}

// Two blocks of 48 text bytes a step: the first in the low lanes, the
// second in the high lanes, 32 raw bytes out.
Q48_AVX2 void avx2_hex_groups(coded_cursor &cur) {
  if (cur.uiCodedIdx + 96 <= cur.nText) {
    cursor_regs r(cur);
    const __m256i vZero = _mm256_setzero_si256();
    const __m256i vChar0 = _mm256_set1_epi8('0');
    const __m256i vCharA = _mm256_set1_epi8('a');
    const __m256i vCase = _mm256_set1_epi8(0x20);
    const __m256i vNine = _mm256_set1_epi8(9);
    const __m256i vFive = _mm256_set1_epi8(5);
    const __m256i vTen = _mm256_set1_epi8(10);
    const __m256i vSpace = _mm256_set1_epi8(' ');
    const __m256i vTab = _mm256_set1_epi8('\t');
    while (r.uiIn + 96 <= r.nText) {
      const unsigned char *pubBlock = r.pubText + r.uiIn;
      __m256i avValue[3];
      __m256i vGood = _mm256_set1_epi8(-1);
      for (int j = 0; j < 3; ++j) {
        const std::size_t uiRow = 16 * static_cast<std::size_t>(j);
        const __m256i vText = load_pair(pubBlock + uiRow, pubBlock + 48 + uiRow);
        const __m256i vDec = _mm256_sub_epi8(vText, vChar0);
        const __m256i vLetter = _mm256_sub_epi8(_mm256_or_si256(vText, vCase), vCharA);
        const __m256i fDec = _mm256_cmpeq_epi8(_mm256_subs_epu8(vDec, vNine), vZero);
        const __m256i fLetter = _mm256_cmpeq_epi8(_mm256_subs_epu8(vLetter, vFive), vZero);
        const __m256i fBlank =
            _mm256_or_si256(_mm256_cmpeq_epi8(vText, vSpace), _mm256_cmpeq_epi8(vText, vTab));
        const __m256i fLane = _mm256_or_si256(
            _mm256_and_si256(_mm256_or_si256(fDec, fLetter), row(kBlock.aubDigit, j)),
            _mm256_and_si256(fBlank, row(kBlock.aubBlank, j)));
        vGood = _mm256_and_si256(vGood, fLane);
        avValue[j] = _mm256_or_si256(_mm256_and_si256(fDec, vDec),
                                     _mm256_andnot_si256(fDec, _mm256_add_epi8(vLetter, vTen)));
      }
      if (_mm256_movemask_epi8(vGood) != -1) {
        break;
      }
      __m256i vHigh = vZero;
      __m256i vLow = vZero;
      for (int j = 0; j < 3; ++j) {
        vHigh = _mm256_or_si256(vHigh, _mm256_shuffle_epi8(avValue[j], row(kBlock.aubHigh, j)));
        vLow = _mm256_or_si256(vLow, _mm256_shuffle_epi8(avValue[j], row(kBlock.aubLow, j)));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(r.pubOut + r.uiOut),
                          _mm256_or_si256(_mm256_slli_epi16(vHigh, 4), vLow));
      r.uiIn += 96;
      r.uiOut += 32;
    }
  }
  ssse3_hex_groups(cur);
}

Q48_AVX2 void avx2_quoted_run(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    const __m256i vQuote = _mm256_set1_epi8('"');
    while (r.uiIn + 32 <= r.nText) {
      const __m256i vText =
          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r.pubText + r.uiIn));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(r.pubOut + r.uiOut), vText);
      const auto uiQuotes =
          static_cast<unsigned int>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(vText, vQuote)));
      const unsigned int nTaken =
          uiQuotes == 0 ? 32 : static_cast<unsigned int>(__builtin_ctz(uiQuotes));
      r.uiIn += nTaken;
      r.uiOut += nTaken;
      if (nTaken != 32) {
        return;
      }
    }
  }
  kSse2Kernels.quoted_run(cur);
}

// 32 raw bytes a step: the first 16 in the low lanes, the next 16 in the
// high lanes, each lane writing its own 48 bytes of text.
Q48_AVX2 void avx2_raw_to_coded(const unsigned char *pubRaw, unsigned int nRaw,
                                unsigned char *pubOut) {
  const __m256i vDigits = _mm256_broadcastsi128_si256(_mm_setr_epi8(
      '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'));
  const __m256i vNibble = _mm256_set1_epi8(0x0F);
  pubOut[0] = '[';
  unsigned char *pub = pubOut + 1;
  unsigned int ui = 0;
  for (; ui + 32 <= nRaw; ui += 32) {
    const __m256i vRaw = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pubRaw + ui));
    for (int j = 0; j < 3; ++j) {
      const __m256i vByte = _mm256_shuffle_epi8(vRaw, row(kBlock.aubSpread, j));
      const __m256i vHigh = _mm256_and_si256(_mm256_srli_epi16(vByte, 4), vNibble);
      const __m256i vLow = _mm256_and_si256(vByte, vNibble);
      const __m256i vIndex =
          _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(vHigh, row(kBlock.aubNibbleHigh, j)),
                                          _mm256_and_si256(vLow, row(kBlock.aubNibbleLow, j))),
                          row(kBlock.aubBlankIndex, j));
      const __m256i vText =
          _mm256_or_si256(_mm256_shuffle_epi8(vDigits, vIndex), row(kBlock.aubBlankText, j));
      unsigned char *pubBlock =
          pub + 3 * static_cast<std::size_t>(ui) + 16 * static_cast<std::size_t>(j);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(pubBlock), _mm256_castsi256_si128(vText));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(pubBlock + 48),
                       _mm256_extracti128_si256(vText, 1));
    }
  }
  scalar_raw_triples(pubRaw + ui, nRaw - ui, pub + 3 * static_cast<std::size_t>(ui));
  pubOut[3 * static_cast<std::size_t>(nRaw)] = ']';
  pubOut[3 * static_cast<std::size_t>(nRaw) + 1] = '\0';
}

} // namespace

const coded_kernels kAvx2Kernels = {"avx2", avx2_hex_groups, avx2_quoted_run, ssse3_plain_run,
                                    avx2_raw_to_coded};

} // namespace q48tb

#endif
