// Arbitrary bytes as coded text and as raw bytes. Checks that the walk agrees
// with the byte-by-byte reading of the rules, never yields more bytes than the
// text has, keeps the text exactly, and that raw -> text -> raw is the
// identity. The sanitizers watch every access on the way.
//
// Input: the first byte picks the kernel set (among those this processor
// can run), the rest is the text and the raw bytes.

#include "Q48_Tb.h"
#include "coded_text_model.h"
#include "q48_tb_internal.h"
#include "q48_tb_kernels.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

std::vector<unsigned char> raw_of(int handle) {
  unsigned char *raw = nullptr;
  unsigned int count = 0;
  check(Q48_tb_cmd_get_raw(handle, &raw, &count) == 1);
  check(raw != nullptr);
  return std::vector<unsigned char>(raw, raw + count);
}

void coded_to_raw(const unsigned char *data, std::size_t size) {
  // An exact-size copy: the object must read nothing past it.
  auto *text = static_cast<unsigned char *>(std::malloc(size == 0 ? 1 : size));
  std::memcpy(text, data, size);
  const int handle = Q48_tb_cmd_init_coded(text, static_cast<unsigned int>(size));
  check((handle != 0) == (size != 0));
  if (handle != 0) {
    const std::vector<unsigned char> raw = raw_of(handle);
    check(raw.size() <= size);
    check(raw == model::coded_to_raw(data, size));

    unsigned char *coded = nullptr;
    unsigned int count = 0;
    check(Q48_tb_cmd_get_coded(handle, &coded, &count) == 1);
    check(count == size && std::memcmp(coded, data, size) == 0);
    char *str = nullptr;
    check(Q48_tb_cmd_get_coded_str(handle, &str) == 1);
    check(str[size] == '\0');

    // The bytes it produced survive their own round trip.
    if (!raw.empty()) {
      const int again = Q48_tb_cmd_init_raw(const_cast<unsigned char *>(raw.data()),
                                            static_cast<unsigned int>(raw.size()));
      check(again != 0);
      unsigned char *text2 = nullptr;
      unsigned int count2 = 0;
      check(Q48_tb_cmd_get_coded(again, &text2, &count2) == 1);
      const int back = Q48_tb_cmd_init_coded(text2, count2);
      check(raw_of(back) == raw);
      Q48_tb_cmd_exit(back);
      Q48_tb_cmd_exit(again);
    }
    Q48_tb_cmd_exit(handle);
    Q48_tb_cmd_exit(handle); // a second release is refused, not a double free
  }
  std::free(text);
}

void raw_to_coded(const unsigned char *data, std::size_t size) {
  if (size == 0) {
    return;
  }
  auto *raw = static_cast<unsigned char *>(std::malloc(size));
  std::memcpy(raw, data, size);
  const int handle = Q48_tb_cmd_init_raw(raw, static_cast<unsigned int>(size));
  check(handle != 0);
  unsigned char *text = nullptr;
  unsigned int count = 0;
  check(Q48_tb_cmd_get_coded(handle, &text, &count) == 1);
  check(count == 3 * size + 2);
  check(text[0] == '[' && text[count - 2] == ']' && text[count - 1] == '\0');
  check(std::strlen(reinterpret_cast<char *>(text)) == count - 1);
  const int back = Q48_tb_cmd_init_coded(text, count);
  check(raw_of(back) == std::vector<unsigned char>(data, data + size));
  Q48_tb_cmd_exit(back);
  Q48_tb_cmd_exit(handle);
  std::free(raw);
}

void choose_kernels(unsigned char choice) {
  int count = 0;
  while (q48tb::kernel_set(count) != nullptr) {
    ++count;
  }
  const q48tb::coded_kernels &set = *q48tb::kernel_set(choice % count);
  q48tb::use_kernels(q48tb::kernel_usable(set) ? set : *q48tb::kernel_set(0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t input_size) {
  if (input_size == 0) {
    return 0;
  }
  choose_kernels(input[0]);
  const std::uint8_t *data = input + 1;
  const std::size_t size = input_size - 1;
  coded_to_raw(data, size);
  raw_to_coded(data, size);
  return 0;
}
