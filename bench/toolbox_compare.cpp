// Side-by-side timings of the toolbox, driven line by line from standard
// input by scripts/run-benchmarks.sh, which alternates them with Python's
// codecs in the same run. Two builds of the library can be loaded at once
// (each in its own link namespace), so that a change is timed against the
// commit before it.
//
//   toolbox_compare OURS.so [BASE.so]
//   stdin:  <ours|base|memcpy|malloc> <test> <size>    stdout: nanoseconds per operation
//
// Tests: hex (bracketed "HH " text to raw), mixed (receipt-like text to raw),
// raw (random bytes to text), live-none / live-oldest / live-newest (create
// and release of a small object with 0 or 100 000 others live, releasing the
// oldest or the newest first), threads-1 / threads-2 (create and release in
// one or two threads; the time is per operation of all threads together).
// memcpy times a copy of the hex text; malloc times malloc and free of an
// object's size in the thread tests.

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct toolbox {
  int (*init_coded)(unsigned char *, unsigned int) = nullptr;
  int (*init_raw)(unsigned char *, unsigned int) = nullptr;
  void (*exit)(int) = nullptr;
};

bool load(const char *path, toolbox &tb) {
  void *lib = dlmopen(LM_ID_NEWLM, path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return false;
  }
  tb.init_coded =
      reinterpret_cast<int (*)(unsigned char *, unsigned int)>(dlsym(lib, "Q48_tb_cmd_init_coded"));
  tb.init_raw =
      reinterpret_cast<int (*)(unsigned char *, unsigned int)>(dlsym(lib, "Q48_tb_cmd_init_raw"));
  tb.exit = reinterpret_cast<void (*)(int)>(dlsym(lib, "Q48_tb_cmd_exit"));
  return tb.init_coded != nullptr && tb.init_raw != nullptr && tb.exit != nullptr;
}

std::string random_raw(std::size_t size) {
  std::string raw(size, '\0');
  std::mt19937 rng(20240611);
  for (auto &b : raw) {
    b = static_cast<char>(rng());
  }
  return raw;
}

// "[1B 40 ...]" of exactly size bytes (size >= 3); the script gives Python
// the same pairs without the brackets.
std::string bracketed_hex(std::size_t size) {
  const std::string raw = random_raw(size / 3 + 1);
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "[";
  for (std::size_t i = 0; text.size() + 3 <= size; ++i) {
    if (i != 0) {
      text += ' ';
    }
    text += digits[static_cast<unsigned char>(raw[i]) >> 4];
    text += digits[static_cast<unsigned char>(raw[i]) & 15];
  }
  text += ']';
  return text;
}

std::string mixed_text(std::size_t size) {
  static const char *const pieces[] = {
      "[1B 40] ",    "\"Hello, world\" ",   "\\n",      "Total: ",
      "[1D 21 11]",  "\"  12,50 EUR\"\r\n", "\\x1B\\A", "Thank you ",
      "\\\"ok\\\" ", "[1B 64 03]\n",
  };
  std::mt19937 rng(7);
  std::string text;
  while (text.size() < size) {
    text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
  }
  text.resize(size);
  return text;
}

const std::string &input(const std::string &test, std::size_t size) {
  static std::map<std::pair<std::string, std::size_t>, std::string> cache;
  auto key = std::make_pair(test, size);
  auto it = cache.find(key);
  if (it == cache.end()) {
    const std::string text = test == "mixed" ? mixed_text(size)
                             : test == "raw" ? random_raw(size)
                                             : bracketed_hex(size);
    it = cache.emplace(key, text).first;
  }
  return it->second;
}

using clock_type = std::chrono::steady_clock;

// Nanoseconds per call of op, over at least 20 ms and 3 calls. The clock is
// read once per batch of about a millisecond, so that reading it does not
// count for short calls.
template <typename F> double per_call(F op) {
  auto start = clock_type::now();
  op(); // warm up, and a first guess of the cost
  const double first = std::chrono::duration<double, std::nano>(clock_type::now() - start).count();
  const long batch = first >= 1e6 ? 1 : static_cast<long>(1e6 / (first + 1));
  long calls = 0;
  start = clock_type::now();
  auto now = start;
  while (calls < 3 || now - start < std::chrono::milliseconds(20)) {
    for (long i = 0; i < batch; ++i) {
      op();
    }
    calls += batch;
    now = clock_type::now();
  }
  return std::chrono::duration<double, std::nano>(now - start).count() / static_cast<double>(calls);
}

unsigned char *bytes_of(const std::string &s) {
  return reinterpret_cast<unsigned char *>(const_cast<char *>(s.data()));
}

unsigned char g_small[] = "[1B 40]";
constexpr int kLive = 100000;

double live_test(const toolbox &tb, const std::string &test) {
  std::vector<int> live;
  if (test != "live-none") {
    for (int i = 0; i < kLive; ++i) {
      live.push_back(tb.init_coded(g_small, 7));
    }
  }
  std::size_t next = 0;
  const double ns = per_call([&] {
    const int cmd = tb.init_coded(g_small, 7);
    if (test == "live-oldest") {
      tb.exit(live[next]); // the ring holds the handles oldest first
      live[next] = cmd;
      next = (next + 1) % live.size();
    } else {
      tb.exit(cmd);
    }
  });
  for (int cmd : live) {
    tb.exit(cmd);
  }
  return ns;
}

// Operations of all threads together in 200 ms.
template <typename F> double threads_test(int count, F op) {
  std::atomic<bool> stop{false};
  std::atomic<long> total{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) {
    threads.emplace_back([&] {
      long n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 64; ++i) {
          op();
        }
        n += 64;
      }
      total += n;
    });
  }
  const auto start = clock_type::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop = true;
  for (auto &thread : threads) {
    thread.join();
  }
  const double elapsed =
      std::chrono::duration<double, std::nano>(clock_type::now() - start).count();
  return elapsed / static_cast<double>(total.load());
}

double run(const toolbox *tb, const std::string &who, const std::string &test, std::size_t size) {
  if (test.rfind("threads-", 0) == 0) {
    const int count = test == "threads-2" ? 2 : 1;
    if (who == "malloc") {
      return threads_test(count, [] {
        void *volatile p = std::malloc(sizeof(void *) * 2 + 2 * 7 + 1);
        std::free(p);
      });
    }
    return threads_test(count, [tb] { tb->exit(tb->init_coded(g_small, 7)); });
  }
  if (test.rfind("live-", 0) == 0) {
    return live_test(*tb, test);
  }
  const std::string &text = input(test, size);
  if (who == "memcpy") {
    static std::string target;
    target.resize(text.size());
    return per_call([&] {
      std::memcpy(target.data(), text.data(), text.size());
      asm volatile("" : : "r"(target.data()) : "memory");
    });
  }
  auto init = test == "raw" ? tb->init_raw : tb->init_coded;
  return per_call([&] { tb->exit(init(bytes_of(text), static_cast<unsigned int>(text.size()))); });
}

} // namespace

int main(int argc, char **argv) {
  toolbox ours;
  toolbox base;
  if (argc < 2 || !load(argv[1], ours) || (argc > 2 && !load(argv[2], base))) {
    std::fprintf(stderr, "usage: %s OURS.so [BASE.so]\n", argv[0]);
    return 2;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string who;
    std::string test;
    std::size_t size = 0;
    words >> who >> test >> size;
    if (who == "dump") {
      // The input itself, for the other codecs.
      const std::string &text = input(test, size);
      std::cout << text.size() << '\n';
      std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    } else {
      const toolbox *tb = who == "base" ? &base : &ours;
      if (who == "base" && argc < 3) {
        std::cout << "0\n";
      } else {
        std::cout << run(tb, who, test, size) << '\n';
      }
    }
    std::cout.flush();
  }
  return 0;
}
