// libQ48Tb's command objects: the exported entry points, the record with its
// two buffers, and the walk over coded command text. The wide steps of the
// walk are kernels in files of their own; the registry hands out handles.

#include "Q48_Tb.h"
#include "q48_tb_internal.h"
#include "q48_tb_kernels.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace q48tb {
namespace {

using command_record = std::remove_pointer_t<PS_Q48TB_COMMAND>;

// Counts are ints in the record, and every buffer size must fit the 32-bit
// size type of the ARM target; the tighter of the two bounds wins.
constexpr unsigned int kMaxCodedSize = INT_MAX;         // n + 1 fits an int's range
constexpr unsigned int kMaxRawSize = (INT_MAX - 2) / 3; // 3 n + 2 fits an int

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

constexpr int kScalarBurst = 8;

// Bytes a plain word or a blank run can start with: what the plain kernels
// take.
constexpr std::array<bool, 256> kPlainStart = [] {
  std::array<bool, 256> a{};
  for (int c = 0x21; c < 0x7F; ++c) {
    a[c] = c != '/' && c != '\\' && c != '"' && c != '[';
  }
  a[' '] = a['\t'] = true;
  return a;
}();

// The walk's position. The text and raw indices live in registers: bytes
// stored through pubOut may alias anything in memory, so a cursor in memory
// would be reloaded after every byte. Kernels get a cursor and hand it back.
struct walk {
  const unsigned char *pubText;
  unsigned int nText;
  unsigned char *pubOut;
  const unsigned short *pusClass;
  unsigned int uiCodedIdx;
  unsigned int uiRawIdx;

  template <typename K> void call(K kernel) {
    coded_cursor cur{pubText, nText, uiCodedIdx, pubOut, uiRawIdx, pusClass};
    kernel(cur);
    uiCodedIdx = cur.uiCodedIdx;
    uiRawIdx = cur.uiRawIdx;
  }
};

// Hex mode with nothing pending and no escape: digits and blanks until some
// other byte. Pairs with a blank after them are the common case; short
// scalar bursts take them first, so that the few groups of a short bracket
// never pay for a wide step that fails, and long runs soon go wide.
void hex_run(const coded_kernels &k, walk &w, unsigned char &bHex, int &nHex) {
  const unsigned char *const pubText = w.pubText;
  unsigned char *const pubOut = w.pubOut;
  const unsigned int nText = w.nText;
  unsigned int uiIn = w.uiCodedIdx;
  unsigned int uiOut = w.uiRawIdx;
  while (uiIn < nText) {
    if (nHex == 0) {
      int nBurst = kScalarBurst;
      while (uiIn + 2 < nText) {
        if (nBurst == 0) {
          w.uiCodedIdx = uiIn;
          w.uiRawIdx = uiOut;
          w.call(k.hex_groups);
          uiIn = w.uiCodedIdx;
          uiOut = w.uiRawIdx;
          nBurst = kScalarBurst;
          continue;
        }
        const unsigned char vHigh = kHexValue[pubText[uiIn]];
        const unsigned char vLow = kHexValue[pubText[uiIn + 1]];
        if (vHigh > 15 || vLow > 15) {
          break;
        }
        pubOut[uiOut++] = static_cast<unsigned char>(vHigh << 4 | vLow);
        uiIn += 2;
        if (is_blank(pubText[uiIn])) {
          ++uiIn;
        }
        --nBurst;
      }
      if (uiIn >= nText) {
        break;
      }
    }
    const unsigned char c = pubText[uiIn];
    const unsigned char v = kHexValue[c];
    if (v != kNotHex) {
      if (nHex == 0) {
        bHex = static_cast<unsigned char>(v << 4);
        nHex = 1;
      } else {
        pubOut[uiOut++] = static_cast<unsigned char>(bHex | v);
        bHex = 0;
        nHex = 0;
      }
    } else if (!is_blank(c)) {
      break;
    }
    ++uiIn;
  }
  w.uiCodedIdx = uiIn;
  w.uiRawIdx = uiOut;
}

} // namespace

// One walk over the text. Each fast loop only takes bytes whose rule it knows
// to be the one that applies and leaves everything else to the general step,
// which applies the rules in their order, one byte at a time.
unsigned int coded_to_raw(const unsigned char *pubText, unsigned int nText, unsigned char *pubOut) {
  const coded_kernels &k = kernels();
  bool fAscii = false;
  bool fBackslash = false;
  bool fHex = false;
  unsigned char bHex = 0;
  int nHex = 0;
  walk w{pubText, nText, pubOut, *__ctype_b_loc(), 0, 0};

  while (w.uiCodedIdx < nText) {
    if (fAscii) {
      // A quoted run copies everything up to its closing quote.
      w.call(k.quoted_run);
      if (w.uiCodedIdx < nText) {
        fAscii = false;
        ++w.uiCodedIdx;
      }
      continue;
    }
    if (fHex && !fBackslash) {
      hex_run(k, w, bHex, nHex);
    } else if (!fHex && !fBackslash) {
      // Plain text: every byte without a rule of its own stands for itself
      // if printable.
      // The wide step only where a word or blank starts: a bracket, quote
      // or escape right away would cost it a whole failed step.
      if (w.uiCodedIdx + 16 <= nText && kPlainStart[pubText[w.uiCodedIdx]]) {
        w.call(k.plain_run);
      }
      w.call(scalar_plain_run);
    }
    if (w.uiCodedIdx >= nText) {
      break;
    }

    // The general step: one byte, the rules in their order.
    const unsigned char c = pubText[w.uiCodedIdx];
    if (c == '/' && w.uiCodedIdx + 1 < nText && pubText[w.uiCodedIdx + 1] == '/') {
      break; // a comment runs to the end of the text
    }
    ++w.uiCodedIdx;
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
        pubOut[w.uiRawIdx++] = static_cast<unsigned char>(iEsc);
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
    } else if ((w.pusClass[c] & _ISprint) != 0) {
      pubOut[w.uiRawIdx++] = c;
    }
  }
  return w.uiRawIdx;
}

namespace {

// Both init functions: one allocation holds the record, the copy of the
// caller's form and the buffer for the other form; then the conversion and
// the handle. The raw buffer of a coded object needs only the text's length
// (no byte of text yields more than one byte).
//
// Above kOneBlockLimit the other form gets an allocation of its own. The C
// library serves blocks beyond its largest mapping threshold (32 MiB on
// 64-bit hosts, 16 MiB on 32-bit ones) with fresh pages every time, and the
// page faults then cost more than the conversion; two halves stay below it
// and are reused.
enum class source_form { coded, raw };

constexpr std::uint64_t kOneBlockLimit = 8u << 20;

// Whether an object of n bytes in the given form is one allocation: the
// same reckoning on creation and release.
struct block_plan {
  std::uint64_t ulFirst; // the record and the given form
  std::uint64_t ulOther; // the other form
  bool fOneBlock;
};

block_plan plan(std::uint64_t n, source_form eForm) {
  // Coded: the copy with a spare NUL, then the raw bytes. Raw: the copy,
  // then 3 n + 3 bytes of text (the last pair's copy spills one).
  const std::uint64_t ulFirst = sizeof(command_record) + (eForm == source_form::coded ? n + 1 : n);
  const std::uint64_t ulOther = eForm == source_form::coded ? n : 3 * n + 3;
  return {ulFirst, ulOther, ulFirst + ulOther <= kOneBlockLimit};
}

void command_free(PS_Q48TB_COMMAND psCmd) {
  if (psCmd != nullptr) {
    auto *pubFirst = reinterpret_cast<unsigned char *>(psCmd) + sizeof(command_record);
    const source_form eForm = psCmd->pubCoded == pubFirst ? source_form::coded : source_form::raw;
    const int n = eForm == source_form::coded ? psCmd->nCoded : psCmd->nRaw;
    if (!plan(static_cast<std::uint64_t>(n), eForm).fOneBlock) {
      std::free(eForm == source_form::coded ? psCmd->pubRaw : psCmd->pubCoded);
    }
    std::free(psCmd);
  }
}

int command_init(const unsigned char *cmd_ptr, unsigned int cmd_size, source_form eForm) {
  int iHandle = 0;
  const unsigned int uiMax = eForm == source_form::coded ? kMaxCodedSize : kMaxRawSize;
  if (cmd_ptr != nullptr && cmd_size != 0 && cmd_size <= uiMax) {
    const std::uint64_t n = cmd_size;
    const block_plan sPlan = plan(n, eForm);
    const std::uint64_t ulFirst = sPlan.ulFirst;
    const std::uint64_t ulOther = sPlan.ulOther;
    const bool fOneBlock = sPlan.fOneBlock;
    const std::uint64_t ulBlock = fOneBlock ? ulFirst + ulOther : ulFirst;
    void *pv = ulBlock <= static_cast<std::uint64_t>(PTRDIFF_MAX) &&
                       ulOther <= static_cast<std::uint64_t>(PTRDIFF_MAX)
                   ? std::malloc(static_cast<std::size_t>(ulBlock))
                   : nullptr;
    unsigned char *pubOther = nullptr;
    if (pv != nullptr) {
      pubOther = fOneBlock
                     ? static_cast<unsigned char *>(pv) + ulFirst
                     : static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(ulOther)));
    }
    on_failure failure([pv, pubOther, fOneBlock] {
      if (!fOneBlock) {
        std::free(pubOther);
      }
      std::free(pv);
    });
    if (pubOther != nullptr) {
      auto psCmd = static_cast<PS_Q48TB_COMMAND>(pv);
      auto *pubFirst = static_cast<unsigned char *>(pv) + sizeof(command_record);
      std::memcpy(pubFirst, cmd_ptr, cmd_size);
      if (eForm == source_form::coded) {
        // The spare byte keeps the text a string even when the caller did
        // not count a NUL.
        pubFirst[n] = '\0';
        psCmd->pubCoded = pubFirst;
        psCmd->nCoded = static_cast<int>(cmd_size);
        psCmd->pubRaw = pubOther;
        psCmd->nRaw = static_cast<int>(coded_to_raw(psCmd->pubCoded, cmd_size, psCmd->pubRaw));
      } else {
        psCmd->pubRaw = pubFirst;
        psCmd->nRaw = static_cast<int>(cmd_size);
        psCmd->pubCoded = pubOther;
        kernels().raw_to_coded(psCmd->pubRaw, cmd_size, psCmd->pubCoded);
        psCmd->nCoded = static_cast<int>(3 * cmd_size + 2);
      }
      iHandle = registry_add(psCmd);
      if (iHandle != 0) {
        failure.dismiss();
      }
    }
  }
  return iHandle;
}

} // namespace
} // namespace q48tb

using q48tb::registry_get;

extern "C" {

int Q48_tb_cmd_init_coded(unsigned char *cmd_ptr, unsigned int cmd_size) {
  return q48tb::command_init(cmd_ptr, cmd_size, q48tb::source_form::coded);
}

int Q48_tb_cmd_init_raw(unsigned char *cmd_ptr, unsigned int cmd_size) {
  return q48tb::command_init(cmd_ptr, cmd_size, q48tb::source_form::raw);
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
    q48tb::command_free(q48tb::registry_remove(cmd));
  }
}

} // extern "C"
