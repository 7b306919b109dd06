// Sized memory blocks, trim and the library information string.

#include "Q48_Tb.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
