// Trim against a plain reading of its rule, and sized blocks grown piece by
// piece from the input against the concatenation of those pieces.
//
// Input: the first byte is a chunk size for the appends (0 grows the block
// without data); the rest is both the string to trim and the data to append.

#include "Q48_Tb.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimmed(const std::string &s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (end > 0 && space(s[end - 1])) {
    --end;
  }
  while (begin < end && space(s[begin])) {
    ++begin;
  }
  return s.substr(begin, end - begin);
}

void trim(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  const std::string as_string = text.c_str(); // up to the first NUL
  auto *buffer = static_cast<char *>(std::malloc(as_string.size() + 1));
  std::memcpy(buffer, as_string.c_str(), as_string.size() + 1);
  check(Q48_tb_trim(buffer) == buffer);
  check(buffer == trimmed(as_string));
  std::free(buffer);
}

void blocks(std::uint8_t chunk, const std::uint8_t *data, std::size_t size) {
  void *mem = chunk % 2 == 0 ? nullptr : Q48_tb_alloc_mem(chunk % 7);
  std::string expected(mem == nullptr ? 0 : chunk % 7, '\0');
  check(Q48_tb_alloc_mem_size(mem) == expected.size());
  if (chunk == 0) {
    // Growth without data: the length counts, the old bytes stay in front.
    mem = Q48_tb_alloc_mem_cat(mem, nullptr, size);
    check(mem != nullptr && Q48_tb_alloc_mem_size(mem) == size);
  } else {
    // At most 32 appends: each copies the whole block, and a long input cut
    // into single bytes would spend the run on copying.
    const std::size_t step = chunk > (size + 31) / 32 ? chunk : (size + 31) / 32;
    for (std::size_t at = 0; at < size; at += step) {
      const std::size_t piece = size - at < step ? size - at : step;
      mem = Q48_tb_alloc_mem_cat(mem, const_cast<std::uint8_t *>(data + at), piece);
      expected.append(reinterpret_cast<const char *>(data + at), piece);
      check(mem != nullptr);
    }
    check(Q48_tb_alloc_mem_size(mem) == expected.size());
    check(expected.empty() || std::memcmp(mem, expected.data(), expected.size()) == 0);
  }
  Q48_tb_free(mem);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > 0) {
    trim(data + 1, size - 1);
    blocks(data[0], data + 1, size - 1);
  }
  return 0;
}
