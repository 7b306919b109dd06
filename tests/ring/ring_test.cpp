// The receive ring: admission with one slot always free, the two-piece
// store and take-out across the end of the storage, and a model check
// against a plain queue.

#include <array>
#include <cstdint>
#include <deque>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "Q48_Api.h"
#include "q48_internal.h"

namespace {

// Gives the ring storage of its own for one test and puts the indices where
// the test wants them; the library's globals are restored afterwards.
class Ring : public ::testing::Test {
protected:
  void SetUp() override {
    m_saved = m_pub_rx_buffer;
    storage.fill(0xEE);
    m_pub_rx_buffer = storage.data();
    place(0, 0);
  }
  void TearDown() override {
    m_pub_rx_buffer = m_saved;
    place(0, 0);
  }
  static void place(int bottom, int top) {
    m_index_rx_bottom = bottom;
    m_index_rx_top = top;
  }
  // Bytes whose value tells where in the sequence they came from.
  static std::vector<unsigned char> pattern(int n, int seed = 0) {
    std::vector<unsigned char> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      v[static_cast<size_t>(i)] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    }
    return v;
  }

  std::array<unsigned char, kRxRingSize> storage{};

private:
  unsigned char *m_saved = nullptr;
};

TEST_F(Ring, EmptyRingReportsNothingHeldAndHandsOutNothing) {
  place(300, 300);
  EXPECT_EQ(buffer_get_rx_count(), 0);
  EXPECT_EQ(buffer_get_rx_free(), 1024);
  std::array<unsigned char, 10> out{};
  EXPECT_EQ(buffer_get_rx_data(out.data(), 10), 0);
  EXPECT_EQ(m_index_rx_bottom, 300);
  EXPECT_EQ(m_index_rx_top, 300);
}

TEST_F(Ring, StoreOfNoBytesSucceedsAndChangesNothing) {
  place(5, 17);
  unsigned char b = 1;
  EXPECT_EQ(buffer_set_rx_data(&b, 0), 1);
  EXPECT_EQ(buffer_set_rx_data(&b, -4), 1);
  EXPECT_EQ(m_index_rx_bottom, 5);
  EXPECT_EQ(m_index_rx_top, 17);
  EXPECT_EQ(buffer_get_rx_data(&b, 0), 0);
  EXPECT_EQ(buffer_get_rx_data(&b, -3), 0);
  EXPECT_EQ(m_index_rx_bottom, 5);
}

struct admission_case {
  const char *what;
  int bottom, top, n;
  int accepted;
  int top_after;
};

void PrintTo(const admission_case &c, std::ostream *os) { *os << c.what; }

class RingAdmission : public Ring, public ::testing::WithParamInterface<admission_case> {};

TEST_P(RingAdmission, StoreIsAllOrNothingWithOneSlotFree) {
  const admission_case &c = GetParam();
  place(c.bottom, c.top);
  const int held_before = buffer_get_rx_count();
  std::vector<unsigned char> in = pattern(c.n);
  EXPECT_EQ(buffer_set_rx_data(in.data(), c.n), c.accepted) << c.what;
  EXPECT_EQ(m_index_rx_top, c.top_after) << c.what;
  EXPECT_EQ(m_index_rx_bottom, c.bottom) << c.what;
  EXPECT_EQ(buffer_get_rx_count(), held_before + (c.accepted ? c.n : 0)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingAdmission,
    ::testing::Values(admission_case{"FreshRingTakes1023", 0, 0, 1023, 1, 1023},
                      admission_case{"FreshRingRefuses1024", 0, 0, 1024, 0, 0},
                      admission_case{"WrappingStoreFillsToOneFree", 100, 1000, 123, 1, 99},
                      admission_case{"OneByteTooManyAcrossTheEnd", 100, 1000, 124, 0, 1000},
                      admission_case{"TopMayNotReachBottom", 0, 960, 64, 0, 960},
                      admission_case{"UpToTheSlotBeforeBottom", 0, 960, 63, 1, 1023},
                      admission_case{"StoreEndingAtTheEndWrapsTop", 1, 1000, 24, 1, 0},
                      admission_case{"FullRingRefusesOneByte", 501, 500, 1, 0, 500}),
    [](const ::testing::TestParamInfo<admission_case> &param_info) {
      return param_info.param.what;
    });

TEST_F(Ring, SixteenthPacketOf64IsRefusedAndTheFifteenStay) {
  for (int i = 0; i < 15; ++i) {
    std::vector<unsigned char> in = pattern(64, i);
    ASSERT_EQ(buffer_set_rx_data(in.data(), 64), 1) << "packet " << i;
  }
  EXPECT_EQ(m_index_rx_top, 960);
  EXPECT_EQ(buffer_get_rx_free(), 64);
  std::vector<unsigned char> last = pattern(64, 99);
  EXPECT_EQ(buffer_set_rx_data(last.data(), 64), 0);
  EXPECT_EQ(m_index_rx_top, 960);
  std::vector<unsigned char> out(960);
  ASSERT_EQ(buffer_get_rx_data(out.data(), 960), 960);
  for (int i = 0; i < 15; ++i) {
    std::vector<unsigned char> expected = pattern(64, i);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + i * 64)) << i;
  }
}

TEST_F(Ring, StoreAcrossTheEndLandsInBothPieces) {
  place(100, 1000);
  std::vector<unsigned char> in = pattern(123, 3);
  ASSERT_EQ(buffer_set_rx_data(in.data(), 123), 1);
  EXPECT_TRUE(std::equal(in.begin(), in.begin() + 24, storage.begin() + 1000));
  EXPECT_TRUE(std::equal(in.begin() + 24, in.end(), storage.begin()));
  EXPECT_EQ(storage[99], 0xEE) << "the slot before the read index stays untouched";
  EXPECT_EQ(buffer_get_rx_count(), 1023);
  EXPECT_EQ(buffer_get_rx_free(), 1);
}

TEST_F(Ring, TakeOutAcrossTheEndHandsOutBothPiecesInOrder) {
  std::iota(storage.begin(), storage.end(), 0); // slot i holds i & 0xFF
  place(1000, 20);
  ASSERT_EQ(buffer_get_rx_count(), 44);
  std::array<unsigned char, 30> out{};
  ASSERT_EQ(buffer_get_rx_data(out.data(), 30), 30);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(out[static_cast<size_t>(i)], static_cast<unsigned char>((1000 + i) % 1024)) << i;
  }
  EXPECT_EQ(m_index_rx_bottom, 6);
  EXPECT_EQ(m_index_rx_top, 20);
}

TEST_F(Ring, TakeOutOfMoreThanHeldEmptiesTheRingExactly) {
  place(1020, 1020);
  std::vector<unsigned char> in = pattern(9);
  ASSERT_EQ(buffer_set_rx_data(in.data(), 9), 1);
  std::array<unsigned char, 50> out{};
  EXPECT_EQ(buffer_get_rx_data(out.data(), 50), 9);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  EXPECT_EQ(m_index_rx_bottom, m_index_rx_top);
  EXPECT_EQ(buffer_get_rx_count(), 0);
}

// Random stores and take-outs from a random starting position, mirrored on a
// queue that allows at most 1023 bytes: every count, refusal and byte must
// agree.
TEST_F(Ring, BehavesLikeABoundedQueueUnderRandomTraffic) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 50; ++round) {
    const int start = static_cast<int>(rng() % kRxRingSize);
    place(start, start);
    std::deque<unsigned char> model;
    unsigned char next = 0;
    for (int op = 0; op < 400; ++op) {
      const int n = static_cast<int>(rng() % 300) - 10;
      if (rng() % 2 == 0) {
        std::vector<unsigned char> in;
        for (int i = 0; i < n; ++i) {
          in.push_back(next++);
        }
        const bool fits = n <= 1023 - static_cast<int>(model.size());
        ASSERT_EQ(buffer_set_rx_data(in.data(), n), fits ? 1 : 0) << round << "/" << op;
        if (fits) {
          model.insert(model.end(), in.begin(), in.end());
        } else {
          next = static_cast<unsigned char>(next - n);
        }
      } else {
        std::vector<unsigned char> out(static_cast<size_t>(std::max(n, 0)) + 1, 0);
        const int expected = std::max(0, std::min(n, static_cast<int>(model.size())));
        ASSERT_EQ(buffer_get_rx_data(out.data(), n), expected) << round << "/" << op;
        for (int i = 0; i < expected; ++i) {
          ASSERT_EQ(out[static_cast<size_t>(i)], model.front()) << round << "/" << op << "/" << i;
          model.pop_front();
        }
      }
      ASSERT_EQ(buffer_get_rx_count(), static_cast<int>(model.size()));
      ASSERT_EQ(buffer_get_rx_free(), 1024 - static_cast<int>(model.size()));
      ASSERT_GE(m_index_rx_top, 0);
      ASSERT_LT(m_index_rx_top, kRxRingSize);
      ASSERT_GE(m_index_rx_bottom, 0);
      ASSERT_LT(m_index_rx_bottom, kRxRingSize);
    }
  }
}

} // namespace
