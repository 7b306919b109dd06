// The byte-wise kernels, which every target has and every vector kernel ends
// with, and the choice among the kernel sets at load time.

#include "q48_tb_kernels.h"

#if defined(__arm__)
#include <sys/auxv.h>
#endif

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <iterator>

namespace q48tb {
namespace {

// "HH " for every byte value; copied four bytes at a time, the fourth byte
// being overwritten by the next pair.
constexpr std::array<std::array<unsigned char, 4>, 256> kHexTriple = [] {
  std::array<std::array<unsigned char, 4>, 256> a{};
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < 256; ++i) {
    a[i] = {static_cast<unsigned char>(kDigits[i >> 4]),
            static_cast<unsigned char>(kDigits[i & 15]), ' ', 0};
  }
  return a;
}();

// The scalar walk's own bursts take "HH " groups; nothing to add.
void scalar_hex_groups(coded_cursor &) {}

const coded_kernels *g_pKernels = &kScalarKernels;

const coded_kernels *const kSets[] = {
    &kScalarKernels,
#if defined(__x86_64__)
    &kSse2Kernels,
    &kSsse3Kernels,
    &kAvx2Kernels,
#elif defined(__arm__)
    &kNeonKernels,
#endif
};

// Picked once when the library loads; tests may pick another. The sets go
// from the plainest to the widest, so the last usable one is the best; the
// byte-wise set, first, is usable everywhere.
__attribute__((constructor)) void choose_kernels() {
  const auto best = std::find_if(std::rbegin(kSets), std::rend(kSets),
                                 [](const coded_kernels *pSet) { return kernel_usable(*pSet); });
  if (best != std::rend(kSets)) {
    g_pKernels = *best;
  }
}

} // namespace

void scalar_quoted_run(coded_cursor &cur) {
  const unsigned char *pubStart = cur.pubText + cur.uiCodedIdx;
  const unsigned int nLeft = cur.nText - cur.uiCodedIdx;
  const void *pvQuote = std::memchr(pubStart, '"', nLeft);
  const unsigned int nRun =
      pvQuote == nullptr
          ? nLeft
          : static_cast<unsigned int>(static_cast<const unsigned char *>(pvQuote) - pubStart);
  std::memcpy(cur.pubOut + cur.uiRawIdx, pubStart, nRun);
  cur.uiRawIdx += nRun;
  cur.uiCodedIdx += nRun;
}

// Writes 3 n + 2 bytes: "[", the pairs with blanks between them, "]" and a
// NUL. The buffer must hold 3 n + 3 bytes: the last pair's copy spills one.
void scalar_raw_triples(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut) {
  for (unsigned int uiRawIdx = 0; uiRawIdx < nRaw; ++uiRawIdx) {
    std::memcpy(pubOut, kHexTriple[pubRaw[uiRawIdx]].data(), 4);
    pubOut += 3;
  }
}

void scalar_raw_to_coded(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut) {
  pubOut[0] = '[';
  scalar_raw_triples(pubRaw, nRaw, pubOut + 1);
  // The blank after the last pair becomes the closing bracket.
  pubOut[3 * static_cast<std::size_t>(nRaw)] = ']';
  pubOut[3 * static_cast<std::size_t>(nRaw) + 1] = '\0';
}

const coded_kernels kScalarKernels = {"scalar", scalar_hex_groups, scalar_quoted_run,
                                      scalar_plain_run, scalar_raw_to_coded};

const coded_kernels &kernels() { return *__atomic_load_n(&g_pKernels, __ATOMIC_RELAXED); }

const coded_kernels *kernel_set(int iIndex) {
  constexpr int kCount = sizeof kSets / sizeof kSets[0];
  return iIndex >= 0 && iIndex < kCount ? kSets[iIndex] : nullptr;
}

bool kernel_usable(const coded_kernels &set) {
  bool fUsable = &set == &kScalarKernels;
#if defined(__x86_64__)
  // A constructor may run before libgcc's own, so ask it to look first.
  __builtin_cpu_init();
  fUsable = fUsable || &set == &kSse2Kernels ||
            (&set == &kSsse3Kernels && __builtin_cpu_supports("ssse3")) ||
            (&set == &kAvx2Kernels && __builtin_cpu_supports("avx2"));
#elif defined(__arm__)
  // The armhf baseline does not promise NEON: many boards lack it.
  fUsable = fUsable || (&set == &kNeonKernels && (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0);
#endif
  return fUsable;
}

void use_kernels(const coded_kernels &set) {
  __atomic_store_n(&g_pKernels, &set, __ATOMIC_RELAXED);
}

} // namespace q48tb
