// How long a small job takes from lp to completed, and how much CPU its
// backend uses, for three backends side by side on one private cupsd and the
// emulated printer:
//   - discard: reads the job and throws it away (the floor: all that is
//     cupsd's, the spool's and a backend's start);
//   - usb: CUPS's own USB backend;
//   - q48: ours.
// Jobs of 1 byte and 4 KiB, raw. Each round sends one job of each size to
// each backend, the backends' order turning from round to round; medians
// are reported. Not a test: run it through scripts/run-benchmarks.sh.
//
//   q48_cups_latency [ROUNDS]     (default 7)

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <cups/cups.h>

#include "q48_emulated_printer.h"
#include "q48_private_cupsd.h"

namespace {

const char kSerial[] = "Q48BENCH01";
std::string g_root;

using q48cupsd::slurp;
using q48cupsd::spit;

int run(const std::string &command) { return std::system(command.c_str()); }

double now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The CPU time of the backend's last run, which its wrapper appends to a
// file with bash's `times`: the last line is its children's, the backend's
// ("0m0.004s 0m0.008s": user and system).
double last_cpu_ms(const std::string &backend) {
  std::istringstream lines(slurp(g_root + "/cpu-" + backend));
  std::string line;
  std::string last;
  while (std::getline(lines, line)) {
    last = line;
  }
  double total = 0;
  for (std::size_t at = 0; (at = last.find('m', at)) != std::string::npos; at++) {
    total += std::atof(last.c_str() + at + 1) * 1e3 +
             std::atof(last.c_str() + last.rfind(' ', at) + 1) * 60e3;
  }
  return total;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The backends, each behind a wrapper that gives it the emulated printer and
// notes its CPU time.
void set_up() {
  const std::string r = g_root;
  for (const char *d : {"/bin", "/bin/backend", "/lib"}) {
    mkdir((r + d).c_str(), 0755);
  }
  // Q48_BASE_BACKEND names an earlier build of the backend to time beside
  // this one, as "base".
  const char *base = std::getenv("Q48_BASE_BACKEND");
  for (const auto &[name, from] : {std::pair<std::string, std::string>{"q48", Q48_BACKEND_PATH},
                                   {"base", base != nullptr ? base : Q48_BACKEND_PATH},
                                   {"discard", Q48_DISCARD_PATH},
                                   {"usb", "/usr/lib/cups/backend/usb"}}) {
    spit(r + "/bin/" + name, slurp(from), 0755);
    spit(r + "/bin/backend/" + name,
         "#!/bin/bash\nexport DEVICE_URI=${DEVICE_URI/#base:/q48:}\n"
         "export LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$(cat " +
             r + "/umockdev_dir) LD_LIBRARY_PATH=" + r + "/lib\n\"" + r + "/bin/" + name +
             "\" \"$@\"\nstatus=$?\ntimes >> " + r + "/cpu-" + name + "\nexit $status\n",
         0755);
  }
  spit(r + "/lib/libQ48Api.so.1", slurp(Q48_API_LIB), 0755);
  spit(r + "/lib/libQ48Tb.so.1", slurp(Q48_TB_LIB), 0755);
}

} // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  char root[] = "/tmp/q48-cups-latency.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 1;
  }
  g_root = root;
  set_up();
  chmod(root, 0755);
  if (!q48cupsd::leave_root(g_root)) {
    std::fputs("cannot become nobody\n", stderr);
    return 1;
  }
  setenv("HOME", root, 1);
  // Made by the user the backends run as: its testbed is private to it.
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  cfg.serial = kSerial;
  q48_emu *emu = q48_emu_new(&cfg);
  if (emu == nullptr) {
    return 1;
  }
  spit(g_root + "/umockdev_dir", q48_emu_root_dir(emu));
  const q48cupsd::server cupsd = q48cupsd::start(g_root, "warn");
  if (cupsd.port == 0) {
    return 1;
  }
  q48cupsd::use(cupsd.port);
  const std::string serial = kSerial;
  std::vector<std::pair<std::string, std::string>> queues = {
      {"discard", "discard:/"},
      {"usb", "usb://Mirelvank/Q48?serial=" + serial},
      {"q48", "q48://usb?serial=" + serial}};
  if (std::getenv("Q48_BASE_BACKEND") != nullptr) {
    queues.emplace_back("base", "base://usb?serial=" + serial);
  }
  for (const auto &[name, uri] : queues) {
    run("/usr/sbin/lpadmin -p " + name + " -E -v '" + uri +
        "' -P " Q48_CUPS_SOURCE "/q48.ppd -o printer-error-policy=abort-job 2>/dev/null");
  }
  const std::vector<std::size_t> sizes = {1, 4096};
  for (std::size_t size : sizes) {
    spit(g_root + "/job-" + std::to_string(size), std::string(size, '\x0c'));
  }
  // [queue][size] -> samples
  std::vector<std::vector<std::vector<double>>> latency(
      queues.size(), std::vector<std::vector<double>>(sizes.size()));
  auto cpu = latency;
  cups_option_t *raw = nullptr;
  const int n_raw = cupsAddOption("raw", "true", 0, &raw);
  // Each round in an order of its own: in a fixed cycle the queue after the
  // usb one would always start while cupsd still winds up its 8-s job.
  std::vector<std::size_t> order(queues.size());
  std::mt19937 shuffle(1);
  for (int round = 0; round < rounds; round++) {
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), shuffle);
    for (const std::size_t q : order) {
      for (std::size_t s = 0; s < sizes.size(); s++) {
        const std::string file = g_root + "/job-" + std::to_string(sizes[s]);
        const double start = now_ms();
        const int id = cupsPrintFile(queues[q].first.c_str(), file.c_str(), "latency", n_raw, raw);
        ipp_jstate_t state = IPP_JSTATE_PENDING;
        while (id > 0 && (state = q48cupsd::job_state(id)) < IPP_JSTATE_CANCELED &&
               now_ms() - start < 60000) {
          usleep(1000);
        }
        latency[q][s].push_back(now_ms() - start);
        cpu[q][s].push_back(last_cpu_ms(queues[q].first));
        if (state < IPP_JSTATE_CANCELED) {
          cupsCancelJob(queues[q].first.c_str(), id);
        }
        if (state != IPP_JSTATE_COMPLETED) {
          std::fprintf(stderr, "job %d on %s did not complete\n", id, queues[q].first.c_str());
        }
      }
    }
  }
  std::printf("lp to completed, and the backend's CPU (user + system); medians of %d rounds\n",
              rounds);
  std::printf("%-10s %14s %14s %14s %14s\n", "backend", "1 B: ms", "1 B: CPU ms", "4 KiB: ms",
              "4 KiB: CPU ms");
  for (std::size_t q = 0; q < queues.size(); q++) {
    std::printf("%-10s", queues[q].first.c_str());
    for (std::size_t s = 0; s < sizes.size(); s++) {
      std::printf(" %14.1f %14.1f", median(latency[q][s]), median(cpu[q][s]));
    }
    std::printf("\n");
  }
  for (std::size_t s = 0; s < sizes.size(); s++) {
    std::printf("q48 over the floor, %zu B: x%.2f (usb: x%.2f", sizes[s],
                median(latency[2][s]) / median(latency[0][s]),
                median(latency[1][s]) / median(latency[0][s]));
    if (queues.size() > 3) {
      std::printf(", base: x%.2f", median(latency[3][s]) / median(latency[0][s]));
    }
    std::printf(")\n");
  }
  cupsFreeOptions(n_raw, raw);
  q48cupsd::stop(cupsd);
  q48_emu_free(emu);
  run("rm -rf " + g_root);
  return 0;
}
