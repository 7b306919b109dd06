// Command objects: the coded-text rules, the raw-to-text rendering, the round
// trip between them, the object's contract and the handle registry. The
// conversion tests run once per kernel set: each must give the same bytes.

#include "Q48_Tb.h"
#include "coded_text_model.h"
#include "q48_tb_internal.h"
#include "q48_tb_kernels.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// Owns one object for a test; 0 when the init function refused.
class command {
public:
  static command coded(const std::string &text) {
    return command(
        Q48_tb_cmd_init_coded(reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
                              static_cast<unsigned int>(text.size())));
  }
  static command raw(const bytes &data) {
    return command(Q48_tb_cmd_init_raw(const_cast<unsigned char *>(data.data()),
                                       static_cast<unsigned int>(data.size())));
  }
  command(command &&other) noexcept : m_handle(other.m_handle) { other.m_handle = 0; }
  command(const command &) = delete;
  command &operator=(const command &) = delete;
  ~command() { Q48_tb_cmd_exit(m_handle); }

  int handle() const { return m_handle; }
  bytes raw_bytes() const {
    unsigned char *p = nullptr;
    unsigned int n = 0;
    EXPECT_EQ(Q48_tb_cmd_get_raw(m_handle, &p, &n), 1);
    return p == nullptr ? bytes{} : bytes(p, p + n);
  }
  std::string coded_text() const {
    unsigned char *p = nullptr;
    unsigned int n = 0;
    EXPECT_EQ(Q48_tb_cmd_get_coded(m_handle, &p, &n), 1);
    return p == nullptr ? std::string{} : std::string(reinterpret_cast<char *>(p), n);
  }

private:
  explicit command(int handle) : m_handle(handle) {}
  int m_handle;
};

// Runs body once with every kernel set this processor can run, then goes
// back to the one the library chose.
template <typename F> void for_each_kernel(F body) {
  const q48tb::coded_kernels &chosen = q48tb::kernels();
  for (int i = 0; q48tb::kernel_set(i) != nullptr; ++i) {
    const q48tb::coded_kernels &set = *q48tb::kernel_set(i);
    if (!q48tb::kernel_usable(set)) {
      std::printf("kernel set %s: not on this processor\n", set.pszName);
      continue;
    }
    SCOPED_TRACE(std::string("kernels ") + set.pszName);
    q48tb::use_kernels(set);
    body();
  }
  q48tb::use_kernels(chosen);
}

bytes convert(const std::string &text) { return command::coded(text).raw_bytes(); }

bytes model_of(const std::string &text) {
  return model::coded_to_raw(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

struct conversion {
  std::string text;
  bytes raw;
  const char *why;
};

TEST(CodedTextRules, WorkedConversionsGiveTheirBytes) {
  const conversion table[] = {
      {"[1B 40]", {0x1B, 0x40}, "hex mode, blank skipped"},
      {"[1B40]", {0x1B, 0x40}, "digits pair up without blanks"},
      {"[1 B4 0]", {0x1B, 0x40}, "blanks do not separate digits"},
      {"[1b 4a]", {0x1B, 0x4A}, "lower-case digits"},
      {"[414]", {0x41}, "the single last digit is dropped at the closing bracket"},
      {"[41,42]", {0x41, 0x34, 0x32, 0x5D}, "the comma ends hex mode and is consumed"},
      {"Hi there", {0x48, 0x69, 0x74, 0x68, 0x65, 0x72, 0x65}, "blanks outside a run skipped"},
      {"\"Hi there\"", {0x48, 0x69, 0x20, 0x74, 0x68, 0x65, 0x72, 0x65}, "a run keeps its blank"},
      {"\"a\\nb//c\"",
       {0x61, 0x5C, 0x6E, 0x62, 0x2F, 0x2F, 0x63},
       "no escapes, no comment in a run"},
      {"[1B \"AB\" 40]", {0x1B, 0x41, 0x42, 0x40}, "hex mode resumes after the run"},
      {"[4\"x\"1]", {0x78, 0x41}, "a pending digit survives a run"},
      {"[0g1]", {0x31, 0x5D}, "g ends hex mode and drops the pending 0"},
      {"[41[42]", {0x41, 0x34, 0x32, 0x5D}, "the second bracket ends hex mode"},
      {"[1\\X23]", {0x23}, "\\X restarts hex mode and drops the pending 1"},
      {"[1B \\n 40]", {0x1B, 0x0A, 0x40}, "an escape inside hex mode keeps hex mode on"},
      {"\\x1BHello", {0x1B, 0x65, 0x6C, 0x6C, 0x6F}, "H ends hex mode and is consumed"},
      {"\\x1B\\AHello", {0x1B, 0x48, 0x65, 0x6C, 0x6C, 0x6F}, "\\A ends hex mode first"},
      {"\\x1BE", {0x1B}, "the single pending digit E is dropped at the end"},
      {"A\\nB", {0x41, 0x0A, 0x42}, "escape"},
      {"\\ n", {0x0A}, "the blank after the backslash is skipped"},
      {"\\N", {0x4E}, "upper-case escape letters stand for themselves"},
      {"\\\\\\\"\\[", {0x5C, 0x22, 0x5B}, "escaped backslash, quote and bracket"},
      {"a/b", {0x61, 0x2F, 0x62}, "a lone slash is printable text"},
      {"AB // note [41]", {0x41, 0x42}, "the comment ends the conversion"},
      {"\\//x", {}, "the comment wins over the pending escape"},
      {"[", {}, "object with no bytes"},
      {"]", {0x5D}, "a closing bracket outside hex mode is printable text"},
      // Line ends, control bytes and the end of the text.
      {"AB\r\nCD", {0x41, 0x42, 0x43, 0x44}, "CR LF between lines ignored"},
      {"[41\n42]", {0x41, 0x34, 0x32, 0x5D}, "a line feed ends hex mode"},
      {"// x\n[41]", {}, "a comment does not end at a line break"},
      {"\"ab", {0x61, 0x62}, "an open run keeps its bytes"},
      {"A\\", {0x41}, "a pending escape at the end is dropped"},
      {"\\b\\f\\r\\t\\B\\F\\R\\T", {0x08, 0x0C, 0x0D, 0x09, 0x42, 0x46, 0x52, 0x54}, "escape case"},
      {"\\a41\\X41", {0x34, 0x31, 0x41}, "\\a outside hex mode only clears it"},
      {"[\"\"41]", {0x41}, "an empty run inside hex mode"},
      {"[4/1]", {0x31, 0x5D}, "a lone slash ends hex mode"},
      {"[41//42]", {0x41}, "a comment inside hex mode"},
      {"[\t4\t1\t]", {0x41}, "tabs are blanks in hex mode"},
      {std::string("A\0B\x7F\x80\xFF", 6), {0x41, 0x42}, "NUL, DEL and high bytes ignored"},
  };
  for (const conversion &row : table) {
    EXPECT_EQ(model_of(row.text), row.raw) << ::testing::PrintToString(row.text);
  }
  for_each_kernel([&] {
    for (const conversion &row : table) {
      SCOPED_TRACE(::testing::PrintToString(row.text) + "  (" + row.why + ")");
      EXPECT_EQ(convert(row.text), row.raw);
      // Long enough for every wide step: the row between stretches of the
      // groups, runs and words those steps take.
      const std::string padding = "[1B 40 0A 0D 1B 40 0A 0D 1B 40 0A 0D 1B 40 0A 0D 1B 40]"
                                  "\"quoted run of some length\" words and\tblanks ";
      const std::string wide = padding + row.text;
      if (row.text.find("//") == std::string::npos) {
        EXPECT_EQ(convert(wide + padding), model_of(wide + padding));
      }
      EXPECT_EQ(convert(wide), model_of(wide));
    }
  });
}

TEST(CodedTextRules, NulInsideTheTextIsIgnoredOutsideARunAndKeptInside) {
  EXPECT_EQ(convert(std::string("A\0B", 3)), (bytes{0x41, 0x42}));
  EXPECT_EQ(convert(std::string("\"A\0B\"", 5)), (bytes{0x41, 0x00, 0x42}));
  EXPECT_EQ(convert(std::string("\\\0", 2)), (bytes{0x00}));
}

// Texts drawn from the bytes that steer the rules, in runs long enough to
// enter every fast loop and leave it at every kind of byte.
std::string random_text(std::mt19937 &rng, std::size_t size) {
  static const char alphabet[] = "0123456789abcdefABCDEFxXgG  \t\t[[]]\"\\//,\n\r\x01\x80\xFFhi";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
  std::uniform_int_distribution<int> mode(0, 3);
  std::string text;
  while (text.size() < size) {
    if (mode(rng) == 0) {
      // A stretch of well-formed hex pairs, the fast loop's diet.
      std::uniform_int_distribution<int> pairs(1, 40);
      for (int i = pairs(rng); i > 0; --i) {
        text += "0123456789ABCDEFabcdef"[rng() % 22];
        text += "0123456789ABCDEFabcdef"[rng() % 22];
        text += " \t"[rng() % 2];
      }
    } else {
      text += alphabet[pick(rng)];
    }
  }
  text.resize(size);
  return text;
}

TEST(CodedTextRules, EveryTextConvertsLikeTheByteByByteReading) {
  for_each_kernel([] {
    std::mt19937 rng(4711);
    for (int round = 0; round < 3000; ++round) {
      const std::string text = random_text(rng, 1 + rng() % 300);
      SCOPED_TRACE(::testing::PrintToString(text));
      const bytes raw = convert(text);
      ASSERT_EQ(raw, model_of(text));
      ASSERT_LE(raw.size(), text.size());
    }
  });
}

// Long runs of "HH " groups take a wide path; whatever ends or bends such a
// run, at whatever offset, must come out as the byte-wise reading has it.
TEST(CodedTextRules, HexRunsInterruptedAtEveryOffsetConvertLikeTheReading) {
  const std::string interruptions[] = {
      "g",  "\"q\"", "\\n", "//", "/",  "  ",   "\t",
      "\n", "[",     "]",   "4",  "41", "\x80", std::string(1, '\0')};
  for_each_kernel([&] {
    for (int groups = 0; groups <= 70; ++groups) {
      for (const std::string &odd : interruptions) {
        std::string text = "[";
        for (int i = 0; i < groups; ++i) {
          text += "0123456789ABCDEFabcdef"[i % 22];
          text += "fedcbaFEDCBA9876543210"[i % 22];
          text += i % 7 == 6 ? '\t' : ' ';
        }
        text += odd + "1B 40 0A 0D 1B 40 0A 0D 1B 40 0A 0D 1B 40 0A 0D]";
        SCOPED_TRACE(::testing::PrintToString(text));
        ASSERT_EQ(convert(text), model_of(text));
        // The same stops inside a quoted run and inside plain words.
        // (Built by appending: GCC 12 warns falsely on "literal" + string.)
        std::string quoted(1, '"');
        quoted.append(text, 1).append(1, '"').append(text);
        ASSERT_EQ(convert(quoted), model_of(quoted));
        std::string plain("Total:");
        plain.append(static_cast<std::size_t>(groups), 'x').append(odd).append(" ok ").append(text);
        ASSERT_EQ(convert(plain), model_of(plain));
      }
    }
  });
}

TEST(RawToCodedText, RendersUpperCasePairsInBracketsWithACountedNul) {
  struct {
    bytes raw;
    std::string text;
  } table[] = {
      {{0x1B, 0x40}, std::string("[1B 40]\0", 8)},
      {{0x00}, std::string("[00]\0", 5)},
      {{0x0A, 0xFF, 0x7F}, std::string("[0A FF 7F]\0", 11)},
  };
  for_each_kernel([&] {
    for (const auto &row : table) {
      SCOPED_TRACE(row.text);
      command cmd = command::raw(row.raw);
      EXPECT_EQ(cmd.coded_text(), row.text);
      EXPECT_EQ(cmd.raw_bytes(), row.raw);
      char *str = nullptr;
      ASSERT_EQ(Q48_tb_cmd_get_coded_str(cmd.handle(), &str), 1);
      EXPECT_STREQ(str, row.text.c_str());
    }
  });
}

TEST(RawToCodedText, EveryByteValueRendersAsItsTwoDigits) {
  bytes all(256);
  std::string expected = "[";
  for (int i = 0; i < 256; ++i) {
    all[i] = static_cast<unsigned char>(i);
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", i);
    if (i != 0) {
      expected += ' ';
    }
    expected += pair;
  }
  expected += "]";
  expected.push_back('\0');
  for_each_kernel([&] { EXPECT_EQ(command::raw(all).coded_text(), expected); });
}

TEST(RoundTrip, TextMadeFromRawBytesGivesTheSameBytesBack) {
  for_each_kernel([] {
    std::mt19937 rng(99);
    for (std::size_t size : {1u, 2u, 3u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 255u, 4096u, 65537u}) {
      bytes raw(size);
      for (auto &b : raw) {
        b = static_cast<unsigned char>(rng());
      }
      SCOPED_TRACE(size);
      std::string text = command::raw(raw).coded_text();
      ASSERT_EQ(text.size(), 3 * size + 2);
      ASSERT_EQ(text, model::raw_to_coded(raw.data(), raw.size()));
      EXPECT_EQ(convert(text), raw);
      // Lower-case digits and tabs take the same wide steps.
      for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(i % 5 == 0 ? std::tolower(text[i]) : text[i]);
        text[i] = text[i] == ' ' && i % 4 == 0 ? '\t' : text[i];
      }
      EXPECT_EQ(convert(text), raw);
    }
  });
}

// Beyond some megabytes the two forms are allocated apart; both directions
// and the release must still hold.
TEST(RoundTrip, ObjectsOfSomeMegabytesConvertBothWays) {
  std::mt19937 rng(5);
  bytes raw(3u << 20);
  for (auto &b : raw) {
    b = static_cast<unsigned char>(rng());
  }
  const std::string text = command::raw(raw).coded_text();
  ASSERT_EQ(text, model::raw_to_coded(raw.data(), raw.size()));
  EXPECT_EQ(convert(text), raw);
}

TEST(CommandObject, InitRefusesNullPointersAndEmptyOrOversizedInput) {
  unsigned char byte = '[';
  EXPECT_EQ(Q48_tb_cmd_init_coded(nullptr, 1), 0);
  EXPECT_EQ(Q48_tb_cmd_init_raw(nullptr, 1), 0);
  EXPECT_EQ(Q48_tb_cmd_init_coded(&byte, 0), 0);
  EXPECT_EQ(Q48_tb_cmd_init_raw(&byte, 0), 0);
  // Refused before a byte is read: a 2 n raw buffer or an int count would
  // not fit. (The pointer addresses one byte only.)
  EXPECT_EQ(Q48_tb_cmd_init_coded(&byte, 0x80000000u), 0);
  EXPECT_EQ(Q48_tb_cmd_init_coded(&byte, UINT_MAX), 0);
  EXPECT_EQ(Q48_tb_cmd_init_raw(&byte, (INT_MAX - 2) / 3 + 1), 0);
  EXPECT_EQ(Q48_tb_cmd_init_raw(&byte, UINT_MAX / 3), 0);
  EXPECT_EQ(Q48_tb_cmd_init_raw(&byte, UINT_MAX), 0);
}

TEST(CommandObject, CodedTextIsKeptExactlyAsPassedAndAlwaysReadsAsAString) {
  std::string text = "[1B 40]  // two";
  command cmd = command::coded(text);
  text.assign(text.size(), 'Z'); // the object works on its own copy
  EXPECT_EQ(cmd.coded_text(), "[1B 40]  // two");
  EXPECT_EQ(cmd.raw_bytes(), (bytes{0x1B, 0x40}));
  char *str = nullptr;
  ASSERT_EQ(Q48_tb_cmd_get_coded_str(cmd.handle(), &str), 1);
  EXPECT_STREQ(str, "[1B 40]  // two"); // terminated though no NUL was counted
}

TEST(CommandObject, ARawTextWithItsNulCountedReadsBackWithIt) {
  const std::string text("[41]\0", 5);
  command cmd = command::coded(text);
  EXPECT_EQ(cmd.coded_text(), text);
  EXPECT_EQ(cmd.raw_bytes(), (bytes{0x41}));
}

TEST(CommandObject, TextWithoutBytesStillHandsOutARawBuffer) {
  for (const char *text : {"[", "// nothing", "\r\n"}) {
    SCOPED_TRACE(text);
    command cmd = command::coded(text);
    ASSERT_NE(cmd.handle(), 0);
    unsigned char *p = nullptr;
    unsigned int n = 99;
    ASSERT_EQ(Q48_tb_cmd_get_raw(cmd.handle(), &p, &n), 1);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(n, 0u);
  }
}

TEST(CommandObject, GettersRefuseNullOutPointersAndWriteNothing) {
  command cmd = command::coded("[41]");
  unsigned char *p = reinterpret_cast<unsigned char *>(&cmd);
  unsigned int n = 77;
  char *s = reinterpret_cast<char *>(&cmd);
  EXPECT_EQ(Q48_tb_cmd_get_raw(cmd.handle(), nullptr, &n), 0);
  EXPECT_EQ(Q48_tb_cmd_get_raw(cmd.handle(), &p, nullptr), 0);
  EXPECT_EQ(Q48_tb_cmd_get_coded(cmd.handle(), nullptr, &n), 0);
  EXPECT_EQ(Q48_tb_cmd_get_coded(cmd.handle(), &p, nullptr), 0);
  EXPECT_EQ(Q48_tb_cmd_get_coded_str(cmd.handle(), nullptr), 0);
  EXPECT_EQ(p, reinterpret_cast<unsigned char *>(&cmd));
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(s, reinterpret_cast<char *>(&cmd));
}

// Every way a handle can be wrong: none, never issued, already released.
void expect_refused(int handle) {
  unsigned char *p = reinterpret_cast<unsigned char *>(1);
  unsigned int n = 77;
  char *s = reinterpret_cast<char *>(1);
  EXPECT_EQ(Q48_tb_cmd_get_raw(handle, &p, &n), 0);
  EXPECT_EQ(Q48_tb_cmd_get_coded(handle, &p, &n), 0);
  EXPECT_EQ(Q48_tb_cmd_get_coded_str(handle, &s), 0);
  EXPECT_EQ(p, reinterpret_cast<unsigned char *>(1));
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(s, reinterpret_cast<char *>(1));
  Q48_tb_cmd_exit(handle); // harmless
}

bytes command_raw_of(int handle) {
  unsigned char *p = nullptr;
  unsigned int n = 0;
  EXPECT_EQ(Q48_tb_cmd_get_raw(handle, &p, &n), 1);
  return p == nullptr ? bytes{} : bytes(p, p + n);
}

TEST(Handles, UnknownAndReleasedHandlesAreRefused) {
  for (int handle : {0, -1, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(handle);
    expect_refused(handle);
  }
  unsigned char text[] = "[41]";
  const int handle = Q48_tb_cmd_init_coded(text, 4);
  ASSERT_GT(handle, 0);
  Q48_tb_cmd_exit(handle);
  expect_refused(handle);
  // A released handle is not taken by the next object either.
  const int next = Q48_tb_cmd_init_coded(text, 4);
  EXPECT_NE(next, handle);
  expect_refused(handle);
  Q48_tb_cmd_exit(next);
}

// The counter is moved close to its wrap rather than run through half a
// thousand million objects; the values it hands out afterwards are real.
TEST(Handles, AfterTheCounterWrapsLiveValuesAreSkippedAndReleasedOnesStayRefused) {
  unsigned char text[] = "[41]";
  q48tb::registry_set_next_serial(10);
  const int live = Q48_tb_cmd_init_coded(text, 4);
  const int released = Q48_tb_cmd_init_coded(text, 4);
  ASSERT_GT(live, 0);
  ASSERT_GT(released, 0);
  Q48_tb_cmd_exit(released);
  q48tb::registry_set_next_serial(q48tb::kRegistrySerials - 3);
  std::vector<int> handles;
  // Sixteen values run from before the wrap past both old serials: the live
  // one must be skipped, the released one may come back only then.
  bool fWrapped = false;
  bool fReissued = false;
  for (int i = 0; i < 16; ++i) {
    handles.push_back(Q48_tb_cmd_init_raw(text, 1));
    ASSERT_GT(handles.back(), 0);
    ASSERT_NE(handles.back(), live);
    fWrapped = fWrapped || handles.back() < live;
    fReissued = fReissued || handles.back() == released;
    if (!fReissued) {
      expect_refused(released);
    }
  }
  EXPECT_TRUE(fWrapped);
  std::vector<int> sorted = handles;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(command_raw_of(live), (bytes{0x41}));
  for (int handle : handles) {
    EXPECT_EQ(command_raw_of(handle), (bytes{'['}));
    Q48_tb_cmd_exit(handle);
    expect_refused(handle);
  }
  Q48_tb_cmd_exit(live);
}

TEST(Handles, ManyThousandLiveObjectsKeepDistinctHandlesAndContents) {
  constexpr int kCount = 20000;
  std::vector<int> handles;
  for (int i = 0; i < kCount; ++i) {
    bytes raw = {static_cast<unsigned char>(i), static_cast<unsigned char>(i >> 8)};
    handles.push_back(Q48_tb_cmd_init_raw(raw.data(), 2));
    ASSERT_GT(handles.back(), 0);
  }
  std::vector<int> sorted = handles;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  // Release every other one, then check that the rest still read their own
  // bytes: removal must not lose its neighbours in the table.
  for (int i = 0; i < kCount; i += 2) {
    Q48_tb_cmd_exit(handles[i]);
  }
  for (int i = 0; i < kCount; ++i) {
    unsigned char *p = nullptr;
    unsigned int n = 0;
    if (i % 2 == 0) {
      ASSERT_EQ(Q48_tb_cmd_get_raw(handles[i], &p, &n), 0) << i;
    } else {
      ASSERT_EQ(Q48_tb_cmd_get_raw(handles[i], &p, &n), 1) << i;
      ASSERT_EQ(n, 2u);
      ASSERT_EQ(p[0], static_cast<unsigned char>(i));
      ASSERT_EQ(p[1], static_cast<unsigned char>(i >> 8));
      Q48_tb_cmd_exit(handles[i]);
    }
  }
}

TEST(Handles, ThreadsCreateReadAndReleaseObjectsConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::vector<int> live;
      for (int i = 0; i < kRounds; ++i) {
        unsigned char raw[3] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i),
                                static_cast<unsigned char>(i >> 8)};
        const int handle = Q48_tb_cmd_init_raw(raw, 3);
        unsigned char *p = nullptr;
        unsigned int n = 0;
        if (handle <= 0 || Q48_tb_cmd_get_raw(handle, &p, &n) != 1 || n != 3 ||
            std::memcmp(p, raw, 3) != 0) {
          ++failures;
        }
        live.push_back(handle);
        if (i % 3 == 2) { // keep some alive so that the table grows meanwhile
          Q48_tb_cmd_exit(live.front());
          live.erase(live.begin());
        }
      }
      for (int handle : live) {
        Q48_tb_cmd_exit(handle);
      }
    });
  }
  for (auto &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
}

// A SCHED_FIFO thread of one priority, pinned to one processor, creating and
// releasing a handful of objects per round (the other tests check contents).
struct fifo_worker {
  int iPriority;
  bool fNaps; // sleeps after each round, so that a lower one gets to run
  std::atomic<int> rounds{0};
  pthread_t thread{};

  static constexpr int kRounds = 3000;
  static void *work(void *pv) {
    auto &w = *static_cast<fifo_worker *>(pv);
    unsigned char text[] = "[1B 40]";
    for (int i = 0; i < kRounds; ++i) {
      int handles[8];
      for (int &handle : handles) {
        handle = Q48_tb_cmd_init_coded(text, 7);
      }
      for (int handle : handles) {
        Q48_tb_cmd_exit(handle);
      }
      w.rounds.store(i + 1, std::memory_order_relaxed);
      if (w.fNaps) {
        const timespec nap{0, 20000};
        (void)nanosleep(&nap, nullptr);
      }
    }
    return nullptr;
  }
  int start(int iCpu) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    q48tb::on_failure destroy([&attr] { pthread_attr_destroy(&attr); });
    sched_param param{};
    param.sched_priority = iPriority;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(iCpu, &cpus);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    pthread_attr_setschedparam(&attr, &param);
    pthread_attr_setaffinity_np(&attr, sizeof cpus, &cpus);
    return pthread_create(&thread, &attr, work, this);
  }
};

// The higher thread wakes again and again while the lower one works on the
// same processor, so it often finds a group's lock held by the thread it
// preempted. Waiting there must let the holder run: a lock that spins or
// yields waits for ever, as the lower thread never runs while it does.
TEST(Handles, FifoThreadsOfTwoPrioritiesOnOneProcessorAllFinish) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int iCpu = 0;
  while (!CPU_ISSET(iCpu, &allowed)) {
    ++iCpu;
  }
  // The watchdog (this thread) outranks both, so that it wakes at its
  // deadline even where it shares their only processor.
  sched_param watch{};
  watch.sched_priority = 30;
  const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &watch);
  if (rc == EPERM) {
    GTEST_SKIP() << "this machine refuses SCHED_FIFO (EPERM)";
  }
  ASSERT_EQ(rc, 0);
  sched_param other{};
  q48tb::on_failure back([&other] { pthread_setschedparam(pthread_self(), SCHED_OTHER, &other); });

  fifo_worker low{10, false};
  fifo_worker high{20, true};
  ASSERT_EQ(low.start(iCpu), 0);
  const int rcHigh = high.start(iCpu);
  const auto start = std::chrono::steady_clock::now();
  const auto finished = [&] {
    return low.rounds == fifo_worker::kRounds &&
           (rcHigh != 0 || high.rounds == fifo_worker::kRounds);
  };
  while (!finished() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool fInTime = finished();
  const int lowAtDeadline = low.rounds;
  const int highAtDeadline = high.rounds;
  if (!fInTime) { // as ordinary threads they share the processor and finish
    pthread_setschedparam(low.thread, SCHED_OTHER, &other);
    pthread_setschedparam(high.thread, SCHED_OTHER, &other);
  }
  pthread_join(low.thread, nullptr);
  if (rcHigh == 0) {
    pthread_join(high.thread, nullptr);
  }
  ASSERT_EQ(rcHigh, 0);
  EXPECT_TRUE(fInTime) << "rounds done after 10 s: priority 10 " << lowAtDeadline
                       << ", priority 20 " << highAtDeadline << " of " << fifo_worker::kRounds;
}

} // namespace
