// The filter's streaming conversion: cut anywhere, the bytes are those of the
// whole text converted at once (what q48-send sends), and the filter holds a
// bounded amount of memory whatever the job's size.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Q48_Tb.h"
#include "q48_coded_stream.h"

extern char **environ;

namespace {

using bytes = std::vector<unsigned char>;

bytes whole(const std::string &text) {
  bytes raw;
  const int cmd =
      Q48_tb_cmd_init_coded(reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
                            static_cast<unsigned int>(text.size()));
  unsigned char *p = nullptr;
  unsigned int n = 0;
  if (cmd != 0 && Q48_tb_cmd_get_raw(cmd, &p, &n) == 1) {
    raw.assign(p, p + n);
  }
  Q48_tb_cmd_exit(cmd);
  return raw;
}

bool collect(void *context, const unsigned char *data, std::size_t n) {
  static_cast<bytes *>(context)->insert(static_cast<bytes *>(context)->end(), data, data + n);
  return true;
}

// The text fed in pieces that end at each of cuts, in order.
bytes streamed(const std::string &text, const std::vector<std::size_t> &cuts) {
  bytes raw;
  q48::coded_stream stream(collect, &raw);
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    EXPECT_TRUE(stream.feed(reinterpret_cast<const unsigned char *>(text.data()) + at, cut - at));
    at = cut;
  }
  EXPECT_TRUE(
      stream.feed(reinterpret_cast<const unsigned char *>(text.data()) + at, text.size() - at));
  EXPECT_TRUE(stream.finish());
  EXPECT_EQ(stream.raw_bytes(), raw.size());
  return raw;
}

// Texts dense in what carries state across a cut: quoted runs, hex mode with
// a pending digit, escapes (\x, \A and blanks after a backslash), slashes.
std::string random_text(std::mt19937 &rng, std::size_t size) {
  static const char alphabet[] = "0123456789aAbBfF  \t[[]\"\"\\\\/xXn\n\r,g\x01\x80";
  std::string text;
  while (text.size() < size) {
    text += alphabet[rng() % (sizeof alphabet - 1)];
  }
  return text;
}

TEST(CodedStream, EveryCutGivesTheBytesOfTheWholeText) {
  std::vector<std::string> texts = {
      "[1B 40]",         "[4\"x\"1]", "[1\\X23]", "\\x1BHello",   "\\ n",
      "AB // note [41]", "\\//x",     "a/b",      "\"a\\nb//c\"", "[1B \"AB\" 40]",
      "[0g1]",           "x/",        "/",        "//",           "\\/"};
  std::mt19937 rng(2026);
  for (int i = 0; i < 400; ++i) {
    texts.push_back(random_text(rng, 1 + rng() % 40));
  }
  for (const std::string &text : texts) {
    SCOPED_TRACE(::testing::PrintToString(text));
    const bytes expected = whole(text);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      ASSERT_EQ(streamed(text, {cut}), expected) << "cut at " << cut;
    }
    std::vector<std::size_t> every(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      every[i] = i;
    }
    ASSERT_EQ(streamed(text, every), expected) << "byte by byte";
  }
}

// Growth near SIZE_MAX, as a 32-bit filter meets it after 2 GiB of short
// reads, is refused rather than doubled round to a capacity of 0. The fields
// stand in for the gigabytes; no realloc can grant what is asked.
TEST(ByteBuffer, GrowthThatWouldWrapTheSizeIsRefused) {
  q48::byte_buffer buffer;
  const unsigned char chunk[16] = {};
  // Out of the compiler's sight, which would warn of the sizes at build time.
  const volatile std::size_t near_max = SIZE_MAX - 10;
  buffer.size = buffer.cap = near_max;
  EXPECT_FALSE(buffer.append(chunk, 1));
  EXPECT_FALSE(buffer.append(chunk, 11)); // the size itself would wrap
  EXPECT_EQ(buffer.size, SIZE_MAX - 10);
  buffer.size = buffer.cap = 0; // nothing was allocated to free
}

// A job of some tens of megabytes through a real pipe into the filter, read
// back from another: the bytes of the whole text, and a resident set that
// does not grow with the job. The filter starts before the job is made: a
// child's peak counts what its parent held when it was started.
TEST(CodedToRawFilter, ConvertsAJobOfAnySizeInBoundedMemory) {
  int in[2];
  int out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args;
#ifdef Q48_TEST_EMULATOR
  args.emplace_back(Q48_TEST_EMULATOR);
#endif
  for (const char *a : {Q48_FILTER_PATH, "1", "user", "title", "1", ""}) {
    args.emplace_back(a);
  }
  std::vector<char *> argv;
  for (std::string &a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);

  std::mt19937 rng(7);
  std::string text;
  while (text.size() < (48u << 20)) {
    // Long stretches of hex and quoted text too, so that the state is open at
    // most cuts; no comment, which would end the job early.
    std::string part = random_text(rng, 200);
    for (char &c : part) {
      c = c == '/' ? ' ' : c;
    }
    text += part + " [1B 40 0A 0D 1B 40 0A 0D 1B 40 0A 0D] \"Total 7.20\\n\" ";
  }
  text += "\\x4 // the end";
  const bytes expected = whole(text);
  std::thread writer([&] {
    std::size_t at = 0;
    while (at < text.size()) {
      const ssize_t n =
          write(in[1], text.data() + at, std::min<std::size_t>(text.size() - at, 1 << 16));
      if (n <= 0) {
        break;
      }
      at += static_cast<std::size_t>(n);
    }
    close(in[1]);
  });
  bytes got;
  unsigned char buf[1 << 16];
  ssize_t n = 0;
  while ((n = read(out[0], buf, sizeof buf)) > 0) {
    got.insert(got.end(), buf, buf + n);
  }
  writer.join();
  close(out[0]);
  int status = 0;
  rusage usage{};
  ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
  std::printf("filter: %zu MB of coded text, %ld KiB resident at most\n", text.size() >> 20,
              usage.ru_maxrss);
#if !defined(__SANITIZE_ADDRESS__) && !defined(Q48_TEST_EMULATOR)
  // The sanitizers' shadow memory and qemu's own would hide the filter's.
  EXPECT_LT(usage.ru_maxrss, 16 * 1024) << "KiB";
#endif
}

} // namespace
