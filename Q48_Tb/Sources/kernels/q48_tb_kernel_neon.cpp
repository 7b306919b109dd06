// NEON kernels for 32-bit ARM. Only this file is built with NEON, and its
// kernels are chosen only where the kernel reports NEON: the armhf baseline
// runs on boards without it.

#include "q48_tb_kernels.h"

#if defined(__arm__)

#include <arm_neon.h>

namespace q48tb {
namespace {

// True when every lane of f is set.
bool all_lanes(uint8x16_t f) {
  const uint64x2_t v = vreinterpretq_u64_u8(f);
  return (vgetq_lane_u64(v, 0) & vgetq_lane_u64(v, 1)) == ~static_cast<std::uint64_t>(0);
}

// Index of the first set lane of f, or 16: four bits per lane after the
// narrowing shift, as ARMv7 has no byte mask instruction.
unsigned int first_lane(uint8x16_t f) {
  const uint8x8_t v = vshrn_n_u16(vreinterpretq_u16_u8(f), 4);
  const std::uint64_t ul = vget_lane_u64(vreinterpret_u64_u8(v), 0);
  return ul == 0 ? 16 : static_cast<unsigned int>(__builtin_ctzll(ul)) / 4;
}

// Bit i set where lane i of f is set, for lanes 0..15.
unsigned int lane_bits(uint8x16_t f) {
  const uint8x16_t vWeights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t v = vandq_u8(f, vWeights);
  uint8x8_t vSum = vpadd_u8(vget_low_u8(v), vget_high_u8(v));
  vSum = vpadd_u8(vSum, vSum);
  vSum = vpadd_u8(vSum, vSum);
  return vget_lane_u8(vSum, 0) | static_cast<unsigned int>(vget_lane_u8(vSum, 1)) << 8;
}

// Lanes holding a hex digit, and each digit's value.
uint8x16_t hex_value(uint8x16_t vText, uint8x16_t &fDigit) {
  const uint8x16_t vDec = vsubq_u8(vText, vdupq_n_u8('0'));
  const uint8x16_t vLetter = vsubq_u8(vorrq_u8(vText, vdupq_n_u8(0x20)), vdupq_n_u8('a'));
  const uint8x16_t fDec = vcleq_u8(vDec, vdupq_n_u8(9));
  fDigit = vorrq_u8(fDec, vcleq_u8(vLetter, vdupq_n_u8(5)));
  return vbslq_u8(fDec, vDec, vaddq_u8(vLetter, vdupq_n_u8(10)));
}

uint8x16_t hex_digit(uint8x16_t vNibble) {
  const uint8x16_t vDigit = vaddq_u8(vNibble, vdupq_n_u8('0'));
  return vaddq_u8(vDigit, vandq_u8(vcgtq_u8(vNibble, vdupq_n_u8(9)), vdupq_n_u8('A' - '9' - 1)));
}

// The structure load takes 16 groups apart into high digits, low digits and
// blanks in one instruction.
void neon_hex_groups(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    while (r.uiIn + 48 <= r.nText) {
      const uint8x16x3_t v = vld3q_u8(r.pubText + r.uiIn);
      uint8x16_t fHigh;
      uint8x16_t fLow;
      const uint8x16_t vHigh = hex_value(v.val[0], fHigh);
      const uint8x16_t vLow = hex_value(v.val[1], fLow);
      const uint8x16_t fBlank =
          vorrq_u8(vceqq_u8(v.val[2], vdupq_n_u8(' ')), vceqq_u8(v.val[2], vdupq_n_u8('\t')));
      if (!all_lanes(vandq_u8(vandq_u8(fHigh, fLow), fBlank))) {
        break;
      }
      vst1q_u8(r.pubOut + r.uiOut, vorrq_u8(vshlq_n_u8(vHigh, 4), vLow));
      r.uiIn += 48;
      r.uiOut += 16;
    }
  }
}

void neon_quoted_run(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    while (r.uiIn + 16 <= r.nText) {
      const uint8x16_t vText = vld1q_u8(r.pubText + r.uiIn);
      vst1q_u8(r.pubOut + r.uiOut, vText);
      const unsigned int nTaken = first_lane(vceqq_u8(vText, vdupq_n_u8('"')));
      r.uiIn += nTaken;
      r.uiOut += nTaken;
      if (nTaken != 16) {
        return;
      }
    }
  }
  scalar_quoted_run(cur);
}

// For each 8-bit mask, the indices of its set bits in order.
constexpr unsigned char kNoLane = 0xFF; // a table index that yields 0
struct left_pack {
  unsigned char aub[256][8];
};
constexpr left_pack kLeftPack = [] {
  left_pack a{};
  for (int m = 0; m < 256; ++m) {
    int k = 0;
    for (int i = 0; i < 8; ++i) {
      if ((m >> i & 1) != 0) {
        a.aub[m][k++] = static_cast<unsigned char>(i);
      }
    }
    for (; k < 8; ++k) {
      a.aub[m][k] = kNoLane;
    }
  }
  return a;
}();

void neon_plain_run(coded_cursor &cur) {
  {
    cursor_regs r(cur);
    while (r.uiIn + 16 <= r.nText) {
      const uint8x16_t vText = vld1q_u8(r.pubText + r.uiIn);
      const uint8x16_t fRange = vcleq_u8(vsubq_u8(vText, vdupq_n_u8(0x21)), vdupq_n_u8(0x5D));
      const uint8x16_t fSpecial =
          vorrq_u8(vorrq_u8(vceqq_u8(vText, vdupq_n_u8('/')), vceqq_u8(vText, vdupq_n_u8('\\'))),
                   vorrq_u8(vceqq_u8(vText, vdupq_n_u8('"')), vceqq_u8(vText, vdupq_n_u8('['))));
      const uint8x16_t fCopy = vbicq_u8(fRange, fSpecial);
      const uint8x16_t fBlank =
          vorrq_u8(vceqq_u8(vText, vdupq_n_u8(' ')), vceqq_u8(vText, vdupq_n_u8('\t')));
      const unsigned int uiCopy = lane_bits(fCopy);
      const unsigned int uiStops = ~(uiCopy | lane_bits(fBlank)) & 0xFFFF;
      const unsigned int nLanes =
          uiStops == 0 ? 16 : static_cast<unsigned int>(__builtin_ctz(uiStops));
      const unsigned int uiKeep = uiCopy & ((1u << nLanes) - 1);
      unsigned char *pub = r.pubOut + r.uiOut;
      if (uiKeep == 0xFFFF) {
        vst1q_u8(pub, vText);
        pub += 16;
      } else {
        const unsigned int uiLow = uiKeep & 0xFF;
        const unsigned int uiHigh = uiKeep >> 8;
        vst1_u8(pub, vtbl1_u8(vget_low_u8(vText), vld1_u8(kLeftPack.aub[uiLow])));
        pub += kBitCount[uiLow];
        vst1_u8(pub, vtbl1_u8(vget_high_u8(vText), vld1_u8(kLeftPack.aub[uiHigh])));
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

// The structure store interleaves high digits, low digits and blanks.
void neon_raw_to_coded(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut) {
  pubOut[0] = '[';
  unsigned char *pub = pubOut + 1;
  unsigned int ui = 0;
  for (; ui + 16 <= nRaw; ui += 16) {
    const uint8x16_t vRaw = vld1q_u8(pubRaw + ui);
    uint8x16x3_t v;
    v.val[0] = hex_digit(vshrq_n_u8(vRaw, 4));
    v.val[1] = hex_digit(vandq_u8(vRaw, vdupq_n_u8(0x0F)));
    v.val[2] = vdupq_n_u8(' ');
    vst3q_u8(pub + 3 * ui, v);
  }
  scalar_raw_triples(pubRaw + ui, nRaw - ui, pub + 3 * ui);
  pubOut[3 * static_cast<std::size_t>(nRaw)] = ']';
  pubOut[3 * static_cast<std::size_t>(nRaw) + 1] = '\0';
}

} // namespace

const coded_kernels kNeonKernels = {"neon", neon_hex_groups, neon_quoted_run, neon_plain_run,
                                    neon_raw_to_coded};

} // namespace q48tb

#endif
