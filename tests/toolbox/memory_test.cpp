// Sized memory blocks, trim and the library information string.

#include "Q48_Tb.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

TEST(SizedBlocks, AllocateGivesZeroedBodyOfTheAskedLength) {
  void *empty = Q48_tb_alloc_mem(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(Q48_tb_alloc_mem_size(empty), 0u);
  Q48_tb_free(empty);

  auto *five = static_cast<unsigned char *>(Q48_tb_alloc_mem(5));
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(Q48_tb_alloc_mem_size(five), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(five[i], 0) << i;
  }
  // The length word sits in the four bytes just before the body.
  std::uint32_t word = 0;
  std::memcpy(&word, five - 4, 4);
  EXPECT_EQ(word, 5u);
  Q48_tb_free(five);
}

TEST(SizedBlocks, NullBlocksHaveNoLengthAndFreeingThemDoesNothing) {
  EXPECT_EQ(Q48_tb_alloc_mem_size(nullptr), 0u);
  Q48_tb_free(nullptr);
}

std::string body(void *mem) {
  return std::string(static_cast<char *>(mem), Q48_tb_alloc_mem_size(mem));
}

TEST(SizedBlocks, AppendingCopiesIntoANewBlockAndConsumesTheOld) {
  char abc[] = "abc";
  char de[] = "de";
  void *mem = Q48_tb_alloc_mem_cat(nullptr, abc, 3);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(body(mem), "abc");
  mem = Q48_tb_alloc_mem_cat(mem, de, 2); // ASan sees the old block go
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(body(mem), "abcde");
  mem = Q48_tb_alloc_mem_cat(mem, nullptr, 0);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(body(mem), "abcde");
  Q48_tb_free(mem);
}

TEST(SizedBlocks, AppendingWithoutDataStillGrowsTheBlock) {
  char abc[] = "abc";
  void *mem = Q48_tb_alloc_mem_cat(nullptr, abc, 3);
  mem = Q48_tb_alloc_mem_cat(mem, nullptr, 4);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(Q48_tb_alloc_mem_size(mem), 7u);
  EXPECT_EQ(std::memcmp(mem, "abc", 3), 0);
  Q48_tb_free(mem);
}

TEST(SizedBlocks, LengthsBeyondTheThirtyTwoBitWordAreRefused) {
  EXPECT_EQ(Q48_tb_alloc_mem(0xFFFFFFFCUL), nullptr); // 4 + size would wrap to 0
  EXPECT_EQ(Q48_tb_alloc_mem(0xFFFFFFFFUL), nullptr);
  char abc[] = "abc";
  void *mem = Q48_tb_alloc_mem_cat(nullptr, abc, 3);
  ASSERT_NE(mem, nullptr);
  // 3 + size exceeds 2^32 - 5; the old block is consumed all the same (the
  // leak checker of the sanitized build would see it otherwise).
  EXPECT_EQ(Q48_tb_alloc_mem_cat(mem, nullptr, 0xFFFFFFF9UL), nullptr);
  EXPECT_EQ(Q48_tb_alloc_mem_cat(nullptr, nullptr, 0xFFFFFFFFUL), nullptr);
}

TEST(Trim, RemovesLeadingAndTrailingWhitespaceInPlace) {
  struct {
    const char *in;
    const char *out;
  } table[] = {
      {"  ab cd \t\n", "ab cd"},
      {"abc", "abc"},
      {"", ""},
      {"   ", ""},
      {"\v\f\r x \r\f\v", "x"},
      {"\xA0y\xA0", "\xA0y\xA0"}, // high bytes are no whitespace in the default locale
      {"a", "a"},
      {" a", "a"},
      {"a ", "a"},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.in);
    char buffer[32];
    std::strcpy(buffer, row.in);
    EXPECT_EQ(Q48_tb_trim(buffer), buffer);
    EXPECT_STREQ(buffer, row.out);
  }
}

TEST(LibraryInfo, IsOneConstantIdentificationString) {
  char *info = Q48_tb_get_library_info();
  EXPECT_STREQ(info, "Mirelvank - libQ48Tb.so - R3-V1.04 - S507312");
  EXPECT_EQ(Q48_tb_get_library_info(), info);
}

} // namespace
