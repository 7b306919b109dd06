// Throughput of the coded-text conversions, in bytes of input per second.
// Each iteration makes and releases one object, as an application would.
//
// With Q48_BENCH_DUMP=<dir> the inputs are also written there (hex.txt without
// its brackets, raw.bin) so that other codecs can be timed on the same bytes.

#include "Q48_Tb.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kInputSize = 4u << 20;

const std::vector<unsigned char> &random_raw() {
  static const std::vector<unsigned char> raw = [] {
    std::vector<unsigned char> v(kInputSize);
    std::mt19937 rng(20240611);
    for (auto &b : v) {
      b = static_cast<unsigned char>(rng());
    }
    return v;
  }();
  return raw;
}

// "[1B 40 0A ...]" of about 4 MiB: the text that the raw-to-text direction
// makes, without its NUL.
const std::string &bracketed_hex() {
  static const std::string text = [] {
    const auto &raw = random_raw();
    const std::size_t pairs = (kInputSize - 2 + 1) / 3;
    static const char digits[] = "0123456789ABCDEF";
    std::string t = "[";
    for (std::size_t i = 0; i < pairs; ++i) {
      if (i != 0) {
        t += ' ';
      }
      t += digits[raw[i] >> 4];
      t += digits[raw[i] & 15];
    }
    t += ']';
    return t;
  }();
  return text;
}

// About 4 MiB of what people write: words, quoted runs, escapes, short hex
// groups, line ends.
const std::string &mixed_text() {
  static const std::string text = [] {
    static const char *const pieces[] = {
        "[1B 40] ",    "\"Hello, world\" ",   "\\n",      "Total: ",
        "[1D 21 11]",  "\"  12,50 EUR\"\r\n", "\\x1B\\A", "Thank you ",
        "\\\"ok\\\" ", "[1B 64 03]\n",
    };
    std::mt19937 rng(7);
    std::string t;
    while (t.size() < kInputSize) {
      t += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    }
    t.resize(kInputSize);
    return t;
  }();
  return text;
}

void coded_to_raw(benchmark::State &state, const std::string &text) {
  auto *data = reinterpret_cast<unsigned char *>(const_cast<char *>(text.data()));
  for (auto _ : state) {
    const int cmd = Q48_tb_cmd_init_coded(data, static_cast<unsigned int>(text.size()));
    if (cmd == 0) {
      state.SkipWithError("init refused");
      break;
    }
    benchmark::DoNotOptimize(cmd);
    Q48_tb_cmd_exit(cmd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_CodedToRaw_BracketedHex(benchmark::State &state) { coded_to_raw(state, bracketed_hex()); }
void BM_CodedToRaw_MixedText(benchmark::State &state) { coded_to_raw(state, mixed_text()); }

void BM_RawToCoded_RandomBytes(benchmark::State &state) {
  const auto &raw = random_raw();
  auto *data = const_cast<unsigned char *>(raw.data());
  for (auto _ : state) {
    const int cmd = Q48_tb_cmd_init_raw(data, static_cast<unsigned int>(raw.size()));
    if (cmd == 0) {
      state.SkipWithError("init refused");
      break;
    }
    benchmark::DoNotOptimize(cmd);
    Q48_tb_cmd_exit(cmd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}

BENCHMARK(BM_CodedToRaw_BracketedHex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodedToRaw_MixedText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawToCoded_RandomBytes)->Unit(benchmark::kMillisecond);

bool write_file(const std::string &path, const void *data, std::size_t size) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(data, 1, size, f) == size;
  if (f != nullptr) {
    ok = std::fclose(f) == 0 && ok;
  }
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  if (const char *dir = std::getenv("Q48_BENCH_DUMP")) {
    const std::string &hex = bracketed_hex();
    const auto &raw = random_raw();
    if (!write_file(std::string(dir) + "/hex.txt", hex.data() + 1, hex.size() - 2) ||
        !write_file(std::string(dir) + "/raw.bin", raw.data(), raw.size())) {
      std::fprintf(stderr, "cannot write the inputs to %s\n", dir);
      return 1;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
