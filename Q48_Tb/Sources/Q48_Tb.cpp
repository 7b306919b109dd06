// libQ48Tb: time stamps, command objects with their coded command text,
// sized memory blocks, trim and the library information string.

#include "Q48_Tb.h"

#include <pthread.h>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <array>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

namespace {

constexpr std::uint32_t kMsPerSecond = 1000;
constexpr long kNsPerMs = 1000000;
constexpr long kNsPerSecond = 1000000000;

// The age that no time-out can outlast: callers compare ages with their
// time-out, so a stamp that cannot be measured ends their wait at once.
constexpr unsigned long kAgeUnknown = 0xFFFFFFFFUL;

// Differences of arbitrary caller records must not overflow a signed type;
// the modular result is what a wrapped 32-bit target would compute too.
template <typename T> T wrapping_sub(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
}

} // namespace

extern "C" {

void Q48_tb_set_time_stamp(struct timespec *ts_start) {
  if (ts_start != nullptr) {
    (void)clock_gettime(CLOCK_REALTIME, ts_start);
  }
}

void Q48_tb_get_delta_ts(struct timespec *ts1, struct timespec *ts2, struct timespec *delta) {
  if (ts1 == nullptr || ts2 == nullptr || delta == nullptr) {
    return;
  }
  const struct timespec *earlier = ts1;
  const struct timespec *later = ts2;
  if (ts2->tv_sec < ts1->tv_sec || (ts2->tv_sec == ts1->tv_sec && ts2->tv_nsec < ts1->tv_nsec)) {
    earlier = ts2;
    later = ts1;
  }
  delta->tv_sec = wrapping_sub(later->tv_sec, earlier->tv_sec);
  delta->tv_nsec = wrapping_sub(later->tv_nsec, earlier->tv_nsec);
  if (delta->tv_nsec < 0) {
    delta->tv_sec = wrapping_sub(delta->tv_sec, static_cast<time_t>(1));
    delta->tv_nsec = wrapping_sub(delta->tv_nsec, -kNsPerSecond);
  }
}

void Q48_tb_convert_ts_to_ms(struct timespec *ts, unsigned long *ms) {
  if (ts == nullptr || ms == nullptr) {
    return;
  }
  // 32-bit arithmetic on purpose: the ARM target's unsigned long is 32 bits
  // and x86-64 must wrap at the same point.
  const auto seconds = static_cast<std::uint32_t>(ts->tv_sec);
  const auto millis = static_cast<std::uint32_t>(ts->tv_nsec / kNsPerMs);
  *ms = static_cast<std::uint32_t>(seconds * kMsPerSecond + millis);
}

unsigned long Q48_tb_calc_age_in_ms(struct timespec *ts_start) {
  unsigned long ulMsEllapsed = kAgeUnknown;
  struct timespec tsActual {};
  struct timespec tsEllapsed {};
  if (ts_start != nullptr && clock_gettime(CLOCK_REALTIME, &tsActual) >= 0) {
    Q48_tb_get_delta_ts(&tsActual, ts_start, &tsEllapsed);
    Q48_tb_convert_ts_to_ms(&tsEllapsed, &ulMsEllapsed);
  }
  return ulMsEllapsed;
}

} // extern "C"

// ---- Command objects and coded command text -----------------------------

typedef struct {
  unsigned char *pubCoded;
  int nCoded;
  unsigned char *pubRaw;
  int nRaw;
} * PS_Q48TB_COMMAND;

namespace {

using command_record = std::remove_pointer_t<PS_Q48TB_COMMAND>;

// Counts are ints in the record, and every buffer size must fit the 32-bit
// size type of the ARM target; the tighter of the two bounds wins.
constexpr unsigned int kMaxCodedSize = INT_MAX;         // 2 n and n + 1 fit 32 bits
constexpr unsigned int kMaxRawSize = (INT_MAX - 2) / 3; // 3 n + 2 fits an int

// Owns a lock for one scope.
class mutex_lock {
public:
  explicit mutex_lock(pthread_mutex_t *pMutex) : m_pMutex(pMutex) {
    (void)pthread_mutex_lock(m_pMutex);
  }
  mutex_lock(const mutex_lock &) = delete;
  mutex_lock &operator=(const mutex_lock &) = delete;
  ~mutex_lock() { (void)pthread_mutex_unlock(m_pMutex); }

private:
  pthread_mutex_t *m_pMutex;
};

// Runs its callable when the scope ends unless dismissed: the one failure
// path of a function that acquires several resources.
template <typename F> class on_failure {
public:
  explicit on_failure(F f) : m_f(f) {}
  on_failure(const on_failure &) = delete;
  on_failure &operator=(const on_failure &) = delete;
  ~on_failure() {
    if (m_fArmed) {
      m_f();
    }
  }
  void dismiss() { m_fArmed = false; }

private:
  F m_f;
  bool m_fArmed = true;
};

// ---- Handle registry
//
// An address does not fit the int handle on 64-bit hosts, so every target
// hands out numbers instead: a counter running through 1 .. INT_MAX that
// skips values still live after it wraps. The live handles sit in an
// open-addressing table (linear probing, backward-shift deletion) keyed by
// the handle itself: consecutive handles land in consecutive slots, so the
// table stays collision-free until the counter wraps.

struct registry_entry {
  int iHandle; // 0: free slot
  PS_Q48TB_COMMAND psCmd;
};

struct registry {
  pthread_mutex_t mutex;
  registry_entry *pEntries;
  std::uint32_t uiCapacity; // 0 or a power of two
  std::uint32_t uiCount;
  int iNext;
};

constinit registry g_registry = {PTHREAD_MUTEX_INITIALIZER, nullptr, 0, 0, 1};

constexpr std::uint32_t kRegistryMinCapacity = 64;

std::uint32_t registry_slot(const registry &reg, int iHandle) {
  return static_cast<std::uint32_t>(iHandle) & (reg.uiCapacity - 1);
}

// Slot holding iHandle, or the capacity if it is not live. Lock held.
std::uint32_t registry_find(const registry &reg, int iHandle) {
  std::uint32_t uiResult = reg.uiCapacity;
  if (iHandle > 0 && reg.uiCapacity != 0) {
    for (std::uint32_t ui = registry_slot(reg, iHandle); reg.pEntries[ui].iHandle != 0;
         ui = (ui + 1) & (reg.uiCapacity - 1)) {
      if (reg.pEntries[ui].iHandle == iHandle) {
        uiResult = ui;
        break;
      }
    }
  }
  return uiResult;
}

void registry_place(registry &reg, registry_entry sEntry) {
  std::uint32_t ui = registry_slot(reg, sEntry.iHandle);
  while (reg.pEntries[ui].iHandle != 0) {
    ui = (ui + 1) & (reg.uiCapacity - 1);
  }
  reg.pEntries[ui] = sEntry;
}

// Keeps the table at most half full. Lock held.
bool registry_reserve(registry &reg) {
  bool fResult = true;
  if ((reg.uiCount + 1) * 2 > reg.uiCapacity) {
    fResult = false;
    const std::uint32_t uiNewCapacity =
        reg.uiCapacity == 0 ? kRegistryMinCapacity : reg.uiCapacity * 2;
    void *pNew = uiNewCapacity > reg.uiCapacity ? std::calloc(uiNewCapacity, sizeof(registry_entry))
                                                : nullptr;
    if (pNew != nullptr) {
      registry_entry *pOld = reg.pEntries;
      const std::uint32_t uiOldCapacity = reg.uiCapacity;
      reg.pEntries = static_cast<registry_entry *>(pNew);
      reg.uiCapacity = uiNewCapacity;
      for (std::uint32_t ui = 0; ui < uiOldCapacity; ++ui) {
        if (pOld[ui].iHandle != 0) {
          registry_place(reg, pOld[ui]);
        }
      }
      std::free(pOld);
      fResult = true;
    }
  }
  return fResult;
}

// A new handle for psCmd, or 0 when the table cannot grow.
int registry_add(PS_Q48TB_COMMAND psCmd) {
  int iHandle = 0;
  mutex_lock lock(&g_registry.mutex);
  if (g_registry.uiCount < static_cast<std::uint32_t>(INT_MAX) - 1 &&
      registry_reserve(g_registry)) {
    do {
      iHandle = g_registry.iNext;
      g_registry.iNext = iHandle == INT_MAX ? 1 : iHandle + 1;
    } while (registry_find(g_registry, iHandle) != g_registry.uiCapacity);
    registry_place(g_registry, registry_entry{iHandle, psCmd});
    ++g_registry.uiCount;
  }
  return iHandle;
}

// The record of a live handle, or null.
PS_Q48TB_COMMAND registry_get(int iHandle) {
  PS_Q48TB_COMMAND psCmd = nullptr;
  mutex_lock lock(&g_registry.mutex);
  const std::uint32_t ui = registry_find(g_registry, iHandle);
  if (ui != g_registry.uiCapacity) {
    psCmd = g_registry.pEntries[ui].psCmd;
  }
  return psCmd;
}

// Takes a live handle out and returns its record, or null.
PS_Q48TB_COMMAND registry_remove(int iHandle) {
  PS_Q48TB_COMMAND psCmd = nullptr;
  mutex_lock lock(&g_registry.mutex);
  registry &reg = g_registry;
  std::uint32_t uiHole = registry_find(reg, iHandle);
  if (uiHole != reg.uiCapacity) {
    psCmd = reg.pEntries[uiHole].psCmd;
    reg.pEntries[uiHole].iHandle = 0;
    --reg.uiCount;
    // Backward shift: pull later members of the probe run into the hole so
    // that lookups never stop early at it.
    const std::uint32_t uiMask = reg.uiCapacity - 1;
    for (std::uint32_t ui = (uiHole + 1) & uiMask; reg.pEntries[ui].iHandle != 0;
         ui = (ui + 1) & uiMask) {
      const std::uint32_t uiHome = registry_slot(reg, reg.pEntries[ui].iHandle);
      if (((ui - uiHome) & uiMask) >= ((ui - uiHole) & uiMask)) {
        reg.pEntries[uiHole] = reg.pEntries[ui];
        reg.pEntries[ui].iHandle = 0;
        uiHole = ui;
      }
    }
  }
  return psCmd;
}

void command_free(PS_Q48TB_COMMAND psCmd) {
  if (psCmd != nullptr) {
    std::free(psCmd->pubCoded);
    std::free(psCmd->pubRaw);
    std::free(psCmd);
  }
}

// A record with every field cleared, so that a half-built one can be freed.
PS_Q48TB_COMMAND command_new() {
  auto psCmd = static_cast<PS_Q48TB_COMMAND>(std::malloc(sizeof(command_record)));
  if (psCmd != nullptr) {
    psCmd->pubCoded = nullptr;
    psCmd->nCoded = 0;
    psCmd->pubRaw = nullptr;
    psCmd->nRaw = 0;
  }
  return psCmd;
}

// ---- Coded text to raw bytes

// Value of a hexadecimal digit, or kNotHex. Only the ASCII digits and letters
// count, whatever the locale says.
constexpr unsigned char kNotHex = 0xFF;
constexpr std::array<unsigned char, 256> kHexValue = [] {
  std::array<unsigned char, 256> a{};
  for (auto &v : a) {
    v = kNotHex;
  }
  for (int i = 0; i < 10; ++i) {
    a['0' + i] = static_cast<unsigned char>(i);
  }
  for (int i = 0; i < 6; ++i) {
    a['A' + i] = static_cast<unsigned char>(10 + i);
    a['a' + i] = static_cast<unsigned char>(10 + i);
  }
  return a;
}();

// Bytes that plain text (no run, escape or hex mode) must not copy blindly:
// the ones with a rule of their own.
constexpr std::array<bool, 256> kPlainSpecial = [] {
  std::array<bool, 256> a{};
  for (unsigned char c : {' ', '\t', '/', '\\', '"', '['}) {
    a[c] = true;
  }
  return a;
}();

constexpr bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }

// What an escaped byte stands for; kEscHexOn/kEscHexOff switch hex mode.
constexpr int kEscHexOn = 0x100;
constexpr int kEscHexOff = 0x101;
constexpr std::array<int, 256> kEscape = [] {
  std::array<int, 256> a{};
  for (int i = 0; i < 256; ++i) {
    a[i] = i;
  }
  a['A'] = a['a'] = kEscHexOff;
  a['X'] = a['x'] = kEscHexOn;
  a['b'] = 0x08;
  a['f'] = 0x0C;
  a['n'] = 0x0A;
  a['r'] = 0x0D;
  a['t'] = 0x09;
  return a;
}();

// isprint of the current locale, asked once per distinct byte of one text:
// the locale may change between two conversions, but not within one.
class printable_cache {
public:
  printable_cache() { std::memset(m_aub, 0, sizeof m_aub); }
  bool operator()(unsigned char c) {
    if (m_aub[c] == 0) {
      m_aub[c] = std::isprint(c) != 0 ? 1 : 2;
    }
    return m_aub[c] == 1;
  }

private:
  unsigned char m_aub[256];
};

constexpr int kScalarBurst = 8;

#if defined(__SSE2__) && defined(__x86_64__)
// Five "HH " groups (two hex digits and one blank) per 16-byte load, for as
// long as the text consists of nothing else. Only exact groups are taken, so
// every rule that could apply to them is the hex-mode one; anything else
// stops the loop and is left to the byte-wise walk. With nHex 0 on entry, the
// five digit pairs are exactly the five bytes the walk would append.
void hex_groups(const unsigned char *pubText, unsigned int nText, unsigned int &uiCodedIdx,
                unsigned char *pubOut, unsigned int &uiRawIdx) {
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
  unsigned int uiIn = uiCodedIdx;
  unsigned char *pub = pubOut + uiRawIdx;
  // The 8-byte store below writes three bytes past the five it means. That
  // stays inside the raw buffer: the raw index never passes the text index,
  // and the loop stops 16 bytes short of the text's end.
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
  uiRawIdx = static_cast<unsigned int>(pub - pubOut);
  uiCodedIdx = uiIn;
}
#else
// Without a vector unit the scalar bursts do all the work.
void hex_groups(const unsigned char *, unsigned int, unsigned int &, unsigned char *,
                unsigned int &) {}
#endif

// One walk over the text. Each fast loop only takes bytes whose rule it knows
// to be the one that applies and leaves everything else to the general step,
// which applies the rules in their order, one byte at a time.
unsigned int coded_to_raw(const unsigned char *pubText, unsigned int nText, unsigned char *pubOut) {
  bool fAscii = false;
  bool fBackslash = false;
  bool fHex = false;
  unsigned char bHex = 0;
  int nHex = 0;
  unsigned int uiCodedIdx = 0;
  unsigned int uiRawIdx = 0;
  printable_cache printable;

  while (uiCodedIdx < nText) {
    if (fAscii) {
      // A quoted run copies everything up to its closing quote.
      const unsigned char *pubStart = pubText + uiCodedIdx;
      const unsigned int nLeft = nText - uiCodedIdx;
      const void *pvQuote = std::memchr(pubStart, '"', nLeft);
      const unsigned int nRun =
          pvQuote == nullptr
              ? nLeft
              : static_cast<unsigned int>(static_cast<const unsigned char *>(pvQuote) - pubStart);
      std::memcpy(pubOut + uiRawIdx, pubStart, nRun);
      uiRawIdx += nRun;
      uiCodedIdx += nRun;
      if (pvQuote != nullptr) {
        fAscii = false;
        ++uiCodedIdx;
      }
      continue;
    }
    if (fHex && !fBackslash) {
      // Hex digits and blanks; pairs of digits with a blank after them are
      // the common case and are taken three bytes a step.
      while (uiCodedIdx < nText) {
        if (nHex == 0) {
          // Wide steps over exact "HH " groups; short scalar bursts take
          // pairs without blanks, doubled blanks and the tail, then hand back.
          int nBurst = 0;
          while (uiCodedIdx + 2 < nText) {
            if (nBurst == 0) {
              hex_groups(pubText, nText, uiCodedIdx, pubOut, uiRawIdx);
              nBurst = kScalarBurst;
              continue;
            }
            const unsigned char vHigh = kHexValue[pubText[uiCodedIdx]];
            const unsigned char vLow = kHexValue[pubText[uiCodedIdx + 1]];
            if (vHigh > 15 || vLow > 15) {
              break;
            }
            pubOut[uiRawIdx++] = static_cast<unsigned char>(vHigh << 4 | vLow);
            uiCodedIdx += 2;
            if (is_blank(pubText[uiCodedIdx])) {
              ++uiCodedIdx;
            }
            --nBurst;
          }
          if (uiCodedIdx >= nText) {
            break;
          }
        }
        const unsigned char c = pubText[uiCodedIdx];
        const unsigned char v = kHexValue[c];
        if (v != kNotHex) {
          if (nHex == 0) {
            bHex = static_cast<unsigned char>(v << 4);
            nHex = 1;
          } else {
            pubOut[uiRawIdx++] = static_cast<unsigned char>(bHex | v);
            bHex = 0;
            nHex = 0;
          }
        } else if (!is_blank(c)) {
          break;
        }
        ++uiCodedIdx;
      }
      if (uiCodedIdx >= nText) {
        break;
      }
    } else if (!fHex && !fBackslash) {
      // Plain text: every byte without a rule of its own stands for itself
      // if printable.
      while (uiCodedIdx < nText && !kPlainSpecial[pubText[uiCodedIdx]]) {
        const unsigned char c = pubText[uiCodedIdx++];
        if (printable(c)) {
          pubOut[uiRawIdx++] = c;
        }
      }
      if (uiCodedIdx >= nText) {
        break;
      }
    }

    // The general step: one byte, the rules in their order.
    const unsigned char c = pubText[uiCodedIdx];
    if (c == '/' && uiCodedIdx + 1 < nText && pubText[uiCodedIdx + 1] == '/') {
      break; // a comment runs to the end of the text
    }
    ++uiCodedIdx;
    if (is_blank(c)) {
      // skipped; nothing pending changes
    } else if (fBackslash) {
      fBackslash = false;
      const int iEsc = kEscape[c];
      if (iEsc == kEscHexOn || iEsc == kEscHexOff) {
        fHex = iEsc == kEscHexOn;
        bHex = 0;
        nHex = 0;
      } else {
        pubOut[uiRawIdx++] = static_cast<unsigned char>(iEsc);
      }
    } else if (c == '\\') {
      fBackslash = true;
    } else if (c == '"') {
      fAscii = true;
    } else if (fHex) {
      // Not a digit (the fast loop took those): hex mode ends, the byte is
      // consumed.
      fHex = false;
      bHex = 0;
      nHex = 0;
    } else if (c == '[') {
      fHex = true;
      bHex = 0;
      nHex = 0;
    } else if (printable(c)) {
      pubOut[uiRawIdx++] = c;
    }
  }
  return uiRawIdx;
}

// ---- Raw bytes to coded text

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

// Writes 3 n + 2 bytes: "[", the pairs with blanks between them, "]" and a
// NUL. The buffer must hold 3 n + 3 bytes: the last pair's copy spills one.
void raw_to_coded(const unsigned char *pubRaw, unsigned int nRaw, unsigned char *pubOut) {
  pubOut[0] = '[';
  unsigned char *pub = pubOut + 1;
  for (unsigned int uiRawIdx = 0; uiRawIdx < nRaw; ++uiRawIdx) {
    std::memcpy(pub, kHexTriple[pubRaw[uiRawIdx]].data(), 4);
    pub += 3;
  }
  // The blank after the last pair becomes the closing bracket.
  pubOut[3 * static_cast<std::size_t>(nRaw)] = ']';
  pubOut[3 * static_cast<std::size_t>(nRaw) + 1] = '\0';
}

// Both init functions: the record, the copy of the caller's form, the buffer
// for the other form, the conversion, the handle. Any failure releases what
// was made so far.
enum class source_form { coded, raw };

int command_init(const unsigned char *cmd_ptr, unsigned int cmd_size, source_form eForm) {
  int iHandle = 0;
  const unsigned int uiMax = eForm == source_form::coded ? kMaxCodedSize : kMaxRawSize;
  if (cmd_ptr != nullptr && cmd_size != 0 && cmd_size <= uiMax) {
    PS_Q48TB_COMMAND psCmd = command_new();
    on_failure failure([&psCmd] { command_free(psCmd); });
    if (psCmd != nullptr) {
      const std::size_t n = cmd_size;
      if (eForm == source_form::coded) {
        // One spare byte keeps the text a string even when the caller did
        // not count a NUL.
        psCmd->pubCoded = static_cast<unsigned char *>(std::malloc(n + 1));
        if (psCmd->pubCoded != nullptr) {
          std::memcpy(psCmd->pubCoded, cmd_ptr, n);
          psCmd->pubCoded[n] = '\0';
          psCmd->nCoded = static_cast<int>(cmd_size);
          psCmd->pubRaw = static_cast<unsigned char *>(std::malloc(2 * n));
        }
        if (psCmd->pubRaw != nullptr) {
          psCmd->nRaw = static_cast<int>(coded_to_raw(psCmd->pubCoded, cmd_size, psCmd->pubRaw));
        }
      } else {
        psCmd->pubRaw = static_cast<unsigned char *>(std::malloc(n));
        if (psCmd->pubRaw != nullptr) {
          std::memcpy(psCmd->pubRaw, cmd_ptr, n);
          psCmd->nRaw = static_cast<int>(cmd_size);
          psCmd->pubCoded = static_cast<unsigned char *>(std::malloc(3 * n + 3));
        }
        if (psCmd->pubCoded != nullptr) {
          raw_to_coded(psCmd->pubRaw, cmd_size, psCmd->pubCoded);
          psCmd->nCoded = static_cast<int>(3 * cmd_size + 2);
        }
      }
      if (psCmd->pubCoded != nullptr && psCmd->pubRaw != nullptr) {
        iHandle = registry_add(psCmd);
      }
      if (iHandle != 0) {
        failure.dismiss();
      }
    }
  }
  return iHandle;
}

} // namespace

extern "C" {

int Q48_tb_cmd_init_coded(unsigned char *cmd_ptr, unsigned int cmd_size) {
  return command_init(cmd_ptr, cmd_size, source_form::coded);
}

int Q48_tb_cmd_init_raw(unsigned char *cmd_ptr, unsigned int cmd_size) {
  return command_init(cmd_ptr, cmd_size, source_form::raw);
}

int Q48_tb_cmd_get_raw(int cmd, unsigned char **cmd_ptr, unsigned int *cmd_size) {
  int fResult = 0;
  if (cmd != 0 && cmd_ptr != nullptr && cmd_size != nullptr) {
    const PS_Q48TB_COMMAND psCmd = registry_get(cmd);
    if (psCmd != nullptr) {
      *cmd_ptr = psCmd->pubRaw;
      *cmd_size = static_cast<unsigned int>(psCmd->nRaw);
      fResult = 1;
    }
  }
  return fResult;
}

int Q48_tb_cmd_get_coded(int cmd, unsigned char **cmd_ptr, unsigned int *cmd_size) {
  int fResult = 0;
  if (cmd != 0 && cmd_ptr != nullptr && cmd_size != nullptr) {
    const PS_Q48TB_COMMAND psCmd = registry_get(cmd);
    if (psCmd != nullptr) {
      *cmd_ptr = psCmd->pubCoded;
      *cmd_size = static_cast<unsigned int>(psCmd->nCoded);
      fResult = 1;
    }
  }
  return fResult;
}

int Q48_tb_cmd_get_coded_str(int cmd, char **ppszStr) {
  int fResult = 0;
  if (cmd != 0 && ppszStr != nullptr) {
    const PS_Q48TB_COMMAND psCmd = registry_get(cmd);
    if (psCmd != nullptr) {
      *ppszStr = reinterpret_cast<char *>(psCmd->pubCoded);
      fResult = 1;
    }
  }
  return fResult;
}

void Q48_tb_cmd_exit(int cmd) {
  if (cmd != 0) {
    command_free(registry_remove(cmd));
  }
}

} // extern "C"

// ---- Sized memory blocks, trim and library information ------------------

namespace {

// The length word is 32 bits on every target: the body follows it directly.
using block_length = std::uint32_t;
constexpr std::size_t kLengthWord = sizeof(block_length);
static_assert(kLengthWord == 4);
constexpr unsigned long kMaxBody = 0xFFFFFFFFUL - kLengthWord;

unsigned char *block_base(void *mem) { return static_cast<unsigned char *>(mem) - kLengthWord; }

block_length block_read_length(void *mem) {
  block_length ulLength = 0;
  std::memcpy(&ulLength, block_base(mem), kLengthWord);
  return ulLength;
}

// An uninitialised block of ulSize body bytes, or null.
void *block_new(unsigned long ulSize) {
  void *pvBody = nullptr;
  if (ulSize <= kMaxBody) {
    auto *pubBase = static_cast<unsigned char *>(std::malloc(kLengthWord + ulSize));
    if (pubBase != nullptr) {
      const auto ulLength = static_cast<block_length>(ulSize);
      std::memcpy(pubBase, &ulLength, kLengthWord);
      pvBody = pubBase + kLengthWord;
    }
  }
  return pvBody;
}

} // namespace

extern "C" {

char *Q48_tb_get_library_info(void) {
  static const char kInfo[] = "Mirelvank - libQ48Tb.so - R3-V1.04 - S507312";
  static char *library_info = const_cast<char *>(kInfo);
  return library_info;
}

void *Q48_tb_alloc_mem(unsigned long size) {
  void *mem = block_new(size);
  if (mem != nullptr) {
    std::memset(mem, 0, size);
  }
  return mem;
}

void Q48_tb_free(void *mem) {
  if (mem != nullptr) {
    std::free(block_base(mem));
  }
}

void *Q48_tb_alloc_mem_cat(void *mem, void *data, unsigned long size) {
  const unsigned long size_old = mem != nullptr ? block_read_length(mem) : 0;
  void *mem_new = nullptr;
  if (size <= kMaxBody - size_old) {
    mem_new = block_new(size_old + size);
  }
  if (mem_new != nullptr) {
    if (size_old != 0) {
      std::memcpy(mem_new, mem, size_old);
    }
    if (data != nullptr && size != 0) {
      std::memcpy(static_cast<unsigned char *>(mem_new) + size_old, data, size);
    }
  }
  Q48_tb_free(mem);
  return mem_new;
}

unsigned long Q48_tb_alloc_mem_size(void *mem) {
  unsigned long size = 0;
  if (mem != nullptr) {
    size = block_read_length(mem);
  }
  return size;
}

char *Q48_tb_trim(char *s) {
  const auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  // Indices rather than pointers: s2 may step to just before s.
  std::size_t uiEnd = std::strlen(s); // one past the last kept byte
  while (uiEnd > 0 && is_space(s[uiEnd - 1])) {
    --uiEnd;
  }
  s[uiEnd] = '\0';
  std::size_t uiStart = 0;
  while (uiStart < uiEnd && is_space(s[uiStart])) {
    ++uiStart;
  }
  std::memmove(s, s + uiStart, uiEnd - uiStart + 1);
  return s;
}

} // extern "C"
