// The soak: many receipts through a private cupsd to an emulated printer
// that is unplugged, plugged back at a new address, stalled and cancelled
// at random, and a check, from the printer's stream alone, that every job
// that was not cancelled arrived exactly once.
//
//   q48_soak [--jobs N] [--faults N] [--seed S] [--speed BYTES_PER_S]
//            [--max-size BYTES] [--idle-seconds S] [--stall-seconds S]
//
// Each copy of a job describes itself: "\x1dQ48SOAK jjjjjj nnnnnnn\n", n
// bytes that depend on the job and the offset and are never 0x1D, then
// "\x1dEND jjjjjj\n". The checker walks the stream from one 0x1D to the
// next, so it needs neither the backend's logs nor cupsd's word: a copy
// whole, a copy cut short, or bytes astray.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <cups/cups.h>

#include "q48_emulated_printer.h"
#include "q48_private_cupsd.h"
#include "q48_test_util.h"

namespace {

const char kSerial[] = "Q48SOAK0001";
const char kMagic = 0x1D;

struct options {
  int jobs = 40;
  int faults = 6;
  unsigned seed = 1;
  int speed = 100000; // bytes per second the printer takes
  std::size_t max_size = 65536;
  int idle_seconds = 0;  // measure a backend that waits this long for its printer
  int stall_seconds = 0; // one stall this long in the middle of a job
};

struct job {
  int seq = 0; // the number its bytes carry
  int id = 0;  // cupsd's
  std::size_t size = 0;
  int copies = 1;
  bool coded = false;
  bool cancelled = false;
  ipp_jstate_t state = IPP_JSTATE_PENDING;
  int whole = 0; // copies that arrived whole
  int cut = 0;   // copies that arrived cut short
};

std::string g_root;
q48_emu *g_emu = nullptr;
std::mutex g_lock; // g_emu's address changes and the job list
std::vector<job> g_jobs;
int g_devnum = 20;
int g_cupsd = -1;

double now_s() { return q48test::now_ms() / 1000; }

void sleep_s(double s) { usleep(static_cast<useconds_t>(s * 1e6)); }

// The payload: a function of the job and the offset, never the marker.
std::string payload(int id, std::size_t n) {
  std::mt19937 gen(static_cast<unsigned>(id) * 2654435761u);
  std::string s(n, '\0');
  for (char &c : s) {
    c = static_cast<char>(gen() & 0xFF);
    c = c == kMagic ? 0x1E : c;
  }
  return s;
}

std::string copy_of(int id, std::size_t n) {
  char head[64];
  char tail[32];
  std::snprintf(head, sizeof head, "%cQ48SOAK %06d %07zu\n", kMagic, id, n);
  std::snprintf(tail, sizeof tail, "%cEND %06d\n", kMagic, id);
  return head + payload(id, n) + tail;
}

std::size_t received_count() {
  std::lock_guard<std::mutex> hold(g_lock);
  return q48_emu_received(g_emu, nullptr, 0);
}

// Everything the printer has received so far.
std::string received() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::string s(q48_emu_received(g_emu, nullptr, 0), '\0');
  s.resize(q48_emu_received(g_emu, reinterpret_cast<unsigned char *>(s.data()), s.size()));
  return s;
}

// The job whose copy starts at s[at], its payload's length in *n; 0 when no
// copy of a job in g_jobs starts there. A copy carries its job's place in
// g_jobs, from 1. Call with g_lock held, or once the faults have stopped.
int copy_at(const std::string &s, std::size_t at, std::size_t *n) {
  int id = 0;
  int used = 0;
  return s[at] == kMagic &&
                 std::sscanf(s.c_str() + at + 1, "Q48SOAK %6d %7zu%n", &id, n, &used) == 2 &&
                 used == 22 && id >= 1 && id <= static_cast<int>(g_jobs.size())
             ? id
             : 0;
}

// Walks the printer's stream: counts each job's whole and cut copies, and
// returns the bytes that belong to no copy.
std::size_t check_stream() {
  const std::string s = received();
  std::size_t astray = 0;
  std::size_t at = 0;
  while (at < s.size()) {
    std::size_t n = 0;
    const int id = copy_at(s, at, &n);
    if (id == 0) {
      const std::size_t next = s.find(kMagic, at + 1);
      astray += (next == std::string::npos ? s.size() : next) - at;
      at = next == std::string::npos ? s.size() : next;
      continue;
    }
    const std::string want = copy_of(id, n);
    const std::size_t have = std::min(want.size(), s.size() - at);
    std::size_t same = 24; // the header
    while (same < have && s[at + same] == want[same]) {
      same++;
    }
    job &j = g_jobs[static_cast<std::size_t>(id - 1)];
    (same == want.size() ? j.whole : j.cut)++;
    // What follows a cut copy is the next copy's marker, or bytes astray.
    at = same == want.size() ? at + same : std::min(s.find(kMagic, at + same), s.size());
  }
  return astray;
}

// Whether the printer's stream stops inside a copy of a job still wanted:
// only then has an unplug cut a job that must go on. Bytes arriving just
// before the unplug may have been the end of the last job.
bool stream_ends_inside_a_copy() {
  const std::string s = received();
  const std::size_t at = s.rfind(std::string(1, kMagic) + "Q48SOAK ");
  std::lock_guard<std::mutex> hold(g_lock);
  std::size_t n = 0;
  const int id = at != std::string::npos ? copy_at(s, at, &n) : 0;
  return id != 0 && !g_jobs[static_cast<std::size_t>(id - 1)].cancelled &&
         s.size() - at < copy_of(id, n).size();
}

ipp_jstate_t state_of(const job &j) { return q48cupsd::job_state(j.id); }

// The backends of our cupsd: their pids, and the most memory any used.
std::vector<int> backends(long *peak_kb) {
  std::vector<int> pids;
  DIR *proc = opendir("/proc");
  for (dirent *e = proc != nullptr ? readdir(proc) : nullptr; e != nullptr; e = readdir(proc)) {
    const std::string status = q48cupsd::slurp(std::string("/proc/") + e->d_name + "/status");
    if (status.rfind("Name:\tq48\n", 0) != 0 ||
        status.find("\nPPid:\t" + std::to_string(g_cupsd) + "\n") == std::string::npos) {
      continue;
    }
    pids.push_back(std::atoi(e->d_name));
    const std::size_t hwm = status.find("VmHWM:");
    if (peak_kb != nullptr && hwm != std::string::npos) {
      *peak_kb = std::max(*peak_kb, std::atol(status.c_str() + hwm + 6));
    }
  }
  if (proc != nullptr) {
    closedir(proc);
  }
  return pids;
}

// CPU seconds a process has used so far.
double cpu_s(int pid) {
  const std::string stat = q48cupsd::slurp("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  unsigned long user = 0;
  unsigned long system = 0;
  if (close == std::string::npos ||
      std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                  &user, &system) != 2) {
    return 0;
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Adds a job to the list and hands it to cupsd; false when cupsd refused it.
// Mostly short receipts, some long ones: sizes spread evenly on a log scale
// from min_size up.
bool submit(std::mt19937 &gen, const options &o, std::size_t min_size = 1) {
  g_jobs.emplace_back();
  job &j = g_jobs.back();
  j.seq = static_cast<int>(g_jobs.size());
  j.size = static_cast<std::size_t>(std::exp(std::uniform_real_distribution<double>(
      std::log(static_cast<double>(min_size)), std::log(static_cast<double>(o.max_size)))(gen)));
  j.coded = gen() % 5 == 0;
  j.copies = gen() % 6 == 0 ? 2 : 1;
  const std::string path = g_root + "/job.data";
  const std::string bytes = copy_of(j.seq, j.size);
  q48cupsd::spit(path, j.coded ? q48test::coded_hex(bytes) : bytes);
  cups_option_t *opts = nullptr;
  int n = cupsAddOption("copies", std::to_string(j.copies).c_str(), 0, &opts);
  n = j.coded ? cupsAddOption("document-format", "application/vnd.q48-coded", n, &opts)
              : cupsAddOption("raw", "true", n, &opts);
  j.id = cupsPrintFile("receipt", path.c_str(), "soak", n, opts);
  cupsFreeOptions(n, opts);
  return j.id > 0;
}

struct figures {
  int unplugs = 0, cutting_unplugs = 0, stalls = 0, cancels = 0;
  std::vector<double> resumes; // seconds from replug to the next byte
};

// Waits until the printer takes bytes (a job is going out), at most s.
bool busy_within(double s) {
  const double until = now_s() + s;
  std::size_t before = received_count();
  while (now_s() < until) {
    sleep_s(0.05);
    if (received_count() != before) {
      return true;
    }
    before = received_count();
  }
  return false;
}

void replug(int devnum) {
  std::lock_guard<std::mutex> hold(g_lock);
  q48_emu_replug(g_emu, devnum);
}

void set_speed(int bytes_per_s) {
  std::lock_guard<std::mutex> hold(g_lock);
  q48_emu_set_out_behaviour(g_emu, static_cast<std::size_t>(bytes_per_s / 10), Q48_EMU_OUT_TIMEOUT);
}

// Unplugs the printer for s, plugs it back at the next address, and
// measures how soon a job that was cut goes on.
void unplug_for(double s, figures &f) {
  replug(0);
  const std::size_t at = received_count();
  const bool cutting = stream_ends_inside_a_copy();
  sleep_s(s);
  // A bus hands out the next address, and wraps after the last.
  g_devnum = 20 + (g_devnum - 19) % 100;
  const double back = now_s();
  replug(g_devnum);
  f.unplugs++;
  if (cutting) {
    f.cutting_unplugs++;
    while (received_count() == at && now_s() - back < 15) {
      usleep(5000);
    }
    f.resumes.push_back(received_count() != at ? now_s() - back : 15);
    std::printf("  unplugged %.1f s; the job went on %.3f s after the replug at 001/%03d\n", s,
                f.resumes.back(), g_devnum);
  } else {
    std::printf("  unplugged %.1f s between jobs; back at 001/%03d\n", s, g_devnum);
  }
}

// The faults, at random moments while jobs go out.
void inject(const options &o, std::mt19937 gen, figures &f, const std::atomic<bool> &done) {
  std::uniform_real_distribution<double> pause(0.1, 1.5);
  std::uniform_real_distribution<double> absent(0.2, 2.5);
  std::uniform_real_distribution<double> stalled(0.5, 4.0);
  for (int n = 0; n < o.faults && !done; n++) {
    sleep_s(pause(gen));
    busy_within(2);                                   // aim at a job while it prints
    const unsigned kind = n < 3 ? n % 3 : gen() % 10; // each kind once, then mostly unplugs
    if (kind == 0 || kind >= 4) {
      unplug_for(absent(gen), f);
    } else if (kind == 1 || kind == 3) {
      const double s = stalled(gen);
      set_speed(0);
      sleep_s(s);
      set_speed(o.speed);
      f.stalls++;
      std::printf("  stalled %.1f s\n", s);
    } else {
      // The job printing now, or else the next one to print.
      std::lock_guard<std::mutex> hold(g_lock);
      job *victim = nullptr;
      for (job &j : g_jobs) {
        if (!j.cancelled && j.state <= IPP_JSTATE_PROCESSING &&
            (victim == nullptr ||
             (j.state == IPP_JSTATE_PROCESSING && victim->state != IPP_JSTATE_PROCESSING))) {
          victim = &j;
        }
      }
      if (victim != nullptr && cupsCancelJob("receipt", victim->id) != 0) {
        victim->cancelled = true;
        f.cancels++;
        std::printf("  cancelled job %d while %s\n", victim->seq,
                    victim->state == IPP_JSTATE_PROCESSING ? "it printed" : "it waited");
      }
    }
  }
}

// A backend that waits for an absent printer: its CPU time.
void measure_idle(const options &o, std::mt19937 &gen) {
  replug(0);
  submit(gen, o);
  std::vector<int> pids;
  for (int i = 0; i < 100 && (pids = backends(nullptr)).empty(); i++) {
    sleep_s(0.1);
  }
  if (pids.empty()) {
    return;
  }
  sleep_s(1); // its start is no part of the wait
  const double before = cpu_s(pids[0]);
  sleep_s(o.idle_seconds);
  const double used = cpu_s(pids[0]) - before;
  std::printf("  a backend waiting %d s for its printer used %.3f s of CPU (%.3f s a minute)\n",
              o.idle_seconds, used, used * 60 / o.idle_seconds);
  replug(++g_devnum);
}

// One stall of o.stall_seconds in the middle of a long job.
void long_stall(const options &o, std::mt19937 &gen) {
  submit(gen, o, o.max_size);
  busy_within(30);
  set_speed(0);
  std::printf("  stalled %d s in the middle of job %d\n", o.stall_seconds, g_jobs.back().seq);
  sleep_s(o.stall_seconds);
  set_speed(o.speed);
}

bool queue_idle_and_accepting() {
  ipp_t *req = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               "ipp://localhost/printers/receipt");
  ipp_t *resp = cupsDoRequest(CUPS_HTTP_DEFAULT, req, "/");
  ipp_attribute_t *state = ippFindAttribute(resp, "printer-state", IPP_TAG_ENUM);
  ipp_attribute_t *accepting = ippFindAttribute(resp, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
  const bool ok = state != nullptr && ippGetInteger(state, 0) == IPP_PSTATE_IDLE &&
                  accepting != nullptr && ippGetBoolean(accepting, 0) != 0;
  ippDelete(resp);
  return ok;
}

int soak(const options &o) {
  std::mt19937 gen(o.seed);
  figures f;
  long peak_kb = 0;
  std::printf("soak: %d jobs up to %zu bytes, %d faults, seed %u, printer %d bytes/s\n", o.jobs,
              o.max_size, o.faults, o.seed, o.speed);
  set_speed(o.speed);
  if (o.idle_seconds > 0) {
    measure_idle(o, gen);
  }
  if (o.stall_seconds > 0) {
    long_stall(o, gen);
  }
  std::atomic<bool> done{false};
  std::thread faults(inject, std::cref(o), std::mt19937(o.seed + 1), std::ref(f), std::cref(done));
  const double start = now_s();
  double progress = start;
  std::size_t received_then = 0;
  for (;;) {
    if (received_count() != received_then) {
      received_then = received_count();
      progress = now_s();
    }
    // Nothing moved for longer than any fault lasts: say where each backend
    // is, once, while it can still be seen.
    if (now_s() - progress > 20) {
      std::printf("soak: no byte for 20 s\n");
      for (const int pid : backends(nullptr)) {
        std::printf("  backend %d waits in %s\n  %s\n", pid,
                    q48cupsd::slurp("/proc/" + std::to_string(pid) + "/wchan").c_str(),
                    q48cupsd::slurp("/proc/" + std::to_string(pid) + "/syscall").c_str());
      }
      progress = now_s();
    }
    int open = 0;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      for (job &j : g_jobs) {
        if (j.state <= IPP_JSTATE_STOPPED) {
          j.state = state_of(j);
          open += j.state < IPP_JSTATE_CANCELED ? 1 : 0;
        }
      }
      // A queue of a few jobs, as at a busy till.
      while (open < 4 && static_cast<int>(g_jobs.size()) < o.jobs) {
        if (!submit(gen, o)) {
          std::printf("soak: cupsd refused a job: %s\n", cupsLastErrorString());
          return 2;
        }
        open++;
      }
    }
    backends(&peak_kb);
    if (open == 0 && static_cast<int>(g_jobs.size()) >= o.jobs) {
      break;
    }
    if (now_s() - start > 60 + o.jobs * 10.0) {
      std::printf("soak: jobs still open after %.0f s\n", now_s() - start);
      break;
    }
    sleep_s(0.1);
  }
  done = true;
  faults.join();
  sleep_s(2); // time for the last backend to go
  const std::vector<int> left = backends(&peak_kb);

  const std::size_t astray = check_stream();
  int completed = 0;
  int aborted = 0;
  int once = 0;
  int doubled = 0;
  int lost = 0;
  for (const job &j : g_jobs) {
    const bool whole_once = j.whole == j.copies && j.cut == 0;
    const char *verdict = j.cancelled ? (j.whole + j.cut <= j.copies ? "ok" : "DOUBLED")
                          : whole_once && j.state == IPP_JSTATE_COMPLETED ? "ok"
                          : j.whole + j.cut > j.copies                    ? "DOUBLED"
                                                                          : "LOST";
    completed += j.state == IPP_JSTATE_COMPLETED ? 1 : 0;
    aborted += j.state == IPP_JSTATE_ABORTED ? 1 : 0;
    once += !j.cancelled && whole_once ? 1 : 0;
    doubled += std::strcmp(verdict, "DOUBLED") == 0 ? 1 : 0;
    lost += std::strcmp(verdict, "LOST") == 0 ? 1 : 0;
    std::printf("job %d: %zu bytes, %d %s, %s: %s; received whole %d, cut %d: %s\n", j.seq, j.size,
                j.copies, j.copies == 1 ? "copy" : "copies", j.coded ? "coded" : "raw",
                ippEnumString("job-state", j.state), j.whole, j.cut, verdict);
  }
  std::vector<double> r = f.resumes;
  std::sort(r.begin(), r.end());
  const bool idle = queue_idle_and_accepting();
  std::printf("jobs: %zu, cancelled %d; completed %d, aborted %d; received exactly once %d, "
              "doubled %d, lost %d; bytes astray %zu\n",
              g_jobs.size(), f.cancels, completed, aborted, once, doubled, lost, astray);
  std::printf("faults: %d unplugs (%d cut a job), %d stalls, %d cancels\n", f.unplugs,
              f.cutting_unplugs, f.stalls, f.cancels);
  if (!r.empty()) {
    std::printf("resume after a replug: median %.3f s, max %.3f s, over %zu\n", r[r.size() / 2],
                r.back(), r.size());
  }
  std::printf("backend: peak RSS %.1f MB; %zu left running; queue %s\n", peak_kb / 1024.0,
              left.size(), idle ? "idle and accepting" : "NOT idle and accepting");
  const bool ok = aborted == 0 && doubled == 0 && lost == 0 && astray == 0 && left.empty() &&
                  idle && (r.empty() || r.back() < 15);
  std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}

bool parse(int argc, char **argv, options &o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const long v = std::atol(argv[i + 1]);
    if (name == "--jobs") {
      o.jobs = static_cast<int>(v);
    } else if (name == "--faults") {
      o.faults = static_cast<int>(v);
    } else if (name == "--seed") {
      o.seed = static_cast<unsigned>(v);
    } else if (name == "--speed") {
      o.speed = static_cast<int>(v);
    } else if (name == "--max-size") {
      o.max_size = static_cast<std::size_t>(v);
    } else if (name == "--idle-seconds") {
      o.idle_seconds = static_cast<int>(v);
    } else if (name == "--stall-seconds") {
      o.stall_seconds = static_cast<int>(v);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && o.jobs > 0 && o.speed >= 10 && o.max_size > 0;
}

} // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse(argc, argv, o)) {
    std::fputs("usage: q48_soak [--jobs N] [--faults N] [--seed S] [--speed BYTES_PER_S]\n"
               "                [--max-size BYTES] [--idle-seconds S] [--stall-seconds S]\n",
               stderr);
    return 2;
  }
  char root[] = "/tmp/q48-soak.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 1;
  }
  g_root = root;
  q48cupsd::install_q48(
      g_root, {Q48_BACKEND_PATH, Q48_FILTER_PATH, Q48_API_LIB, Q48_TB_LIB, Q48_CUPS_SOURCE});
  chmod(root, 0755);
  if (!q48cupsd::leave_root(g_root)) {
    std::fputs("cannot become nobody\n", stderr);
    return 1;
  }
  setenv("HOME", root, 1);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  cfg.serial = kSerial;
  cfg.devnum = g_devnum;
  g_emu = q48_emu_new(&cfg);
  if (g_emu == nullptr) {
    return 1;
  }
  q48cupsd::spit(g_root + "/umockdev_dir", q48_emu_root_dir(g_emu));
  const q48cupsd::server cupsd = q48cupsd::start(g_root, "debug");
  g_cupsd = cupsd.pid;
  int status = 1;
  if (cupsd.port > 0) {
    q48cupsd::use(cupsd.port);
    const std::string add =
        std::string("/usr/sbin/lpadmin -p receipt -E -v q48://usb?serial=") + kSerial +
        " -P " Q48_CUPS_SOURCE "/q48.ppd -o printer-error-policy=abort-job 2>/dev/null";
    status = std::system(add.c_str()) == 0 ? soak(o) : 1;
  }
  q48cupsd::stop(cupsd);
  q48_emu_free(g_emu);
  if (status == 0) {
    q48test::run_program({"/bin/rm", "-rf", g_root});
  } else {
    std::printf("soak: cupsd's log is in %s/log\n", g_root.c_str());
  }
  return status;
}
