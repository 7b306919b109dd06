// The q48 backend, filter and PPD under a real, private cupsd: the printer
// is the emulated USB printer (and a pty at a line-printer path), the
// clients are Debian's lp, lpadmin, lpinfo and cancel. One cupsd serves all
// cases, and a till's cupsd prints to it over IPP in the sharing case; each
// runs as nobody (the test drops to nobody when started as root), on a free
// loopback port, with everything of its own under one folder, and dies with
// the test whatever happens (parent-death signal).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cups/backend.h>
#include <cups/cups.h>
#include <cups/sidechannel.h>

#include "q48_emulated_printer.h"
#include "q48_private_cupsd.h"
#include "q48_test_util.h"

namespace {

const char kSerial[] = "Q48CUPS0001";
const char kUri[] = "q48://usb?serial=Q48CUPS0001";
const char kOrder42[] = "[1B 40] \"Order 42\" \\n [1B 61 01] \"Total 7.20\" \\n\n"
                        "[1D 56 00]   // cut\n";

std::string g_root; // the private cupsd's folder
q48_emu *g_emu = nullptr;
int g_lp_master = -1; // the far end of the line printer, a pty at dev/usb/lp0
std::vector<q48cupsd::server> g_cupsds;
int g_port = 0; // the cupsd that holds the printer
int g_devnum = 11;

using q48cupsd::job_state;
using q48cupsd::slurp;
using q48cupsd::spit;

std::string received() {
  std::string got(q48_emu_received(g_emu, nullptr, 0), '\0');
  got.resize(q48_emu_received(g_emu, reinterpret_cast<unsigned char *>(got.data()), got.size()));
  return got;
}

// Plugs the emulated printer in, and then in again at a new address each
// time, as a real replug would, in the same testbed: a backend that waits
// for the printer finds it there.
void plug() {
  if (g_emu != nullptr) {
    ASSERT_EQ(q48_emu_replug(g_emu, ++g_devnum), 1);
    return;
  }
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  cfg.serial = kSerial;
  cfg.devnum = g_devnum;
  g_emu = q48_emu_new(&cfg);
  ASSERT_NE(g_emu, nullptr);
  spit(g_root + "/umockdev_dir", q48_emu_root_dir(g_emu));
}

q48test::run_result run(const std::vector<std::string> &argv) { return q48test::run_program(argv); }

// "request id is receipt-7 (1 file(s))" -> 7
int lp(const std::vector<std::string> &args) {
  std::vector<std::string> argv{"/usr/bin/lp"};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto r = run(argv);
  const auto dash = r.out.find('-');
  return r.exit_status == 0 && dash != std::string::npos ? std::atoi(r.out.c_str() + dash + 1) : 0;
}

// Waits (up to a minute) for the job to end; its final state.
ipp_jstate_t wait_job(int id) {
  ipp_jstate_t s = IPP_JSTATE_PENDING;
  for (int i = 0; i < 600 && (s = job_state(id)) < IPP_JSTATE_STOPPED; i++) {
    usleep(100000);
  }
  // Stopped counts only when it stays so: the backend may be retrying.
  return s;
}

bool wait_for(const std::function<bool()> &done, int ms) {
  for (int i = 0; i < ms / 20 && !done(); i++) {
    usleep(20000);
  }
  return done();
}

// What the line printer receives until done(what came so far) holds, or ms
// pass.
std::string lp_received(const std::function<bool(const std::string &)> &done, int ms) {
  std::string got;
  wait_for(
      [&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(g_lp_master, buf, sizeof buf)) > 0) {
          got.append(buf, static_cast<std::size_t>(n));
        }
        return done(got);
      },
      ms);
  return got;
}

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s) {
    c = static_cast<char>(gen());
  }
  return s;
}

std::string error_log() { return slurp(g_root + "/log/error_log"); }

// The scheduler's log lines of job id that hold text, at one level (I, E, D
// and so on) or at any.
std::string job_log(int id, const std::string &text, char level = 0) {
  std::istringstream log(error_log());
  std::string found;
  const std::string tag = "[Job " + std::to_string(id) + "] ";
  for (std::string line; std::getline(log, line);) {
    if (line.find(tag) != std::string::npos && line.find(text) != std::string::npos &&
        (level == 0 || line[0] == level)) {
      found += line + "\n";
    }
  }
  return found;
}

struct backend_run {
  int status = -1;  // 137: it did not end within the time and was killed
  std::string said; // its standard error
};

// The backend as cupsd starts it for one job, given no more than seconds.
backend_run run_backend(const std::string &uri, const std::string &job, int seconds = 10) {
  const auto r = q48test::run_program({"/usr/bin/timeout", "-s", "KILL", std::to_string(seconds),
                                       "/bin/sh", "-c", R"(exec "$0" 1 user title 1 "" "$1" 2>&1)",
                                       g_root + "/bin/backend/q48", job},
                                      {"DEVICE_URI=" + uri});
  return {r.exit_status, r.out};
}

// Starts a cupsd of its own under dir, with the programs of dir/bin, and
// returns its port (0 if it did not come up).
int start_cupsd(const std::string &dir) {
  g_cupsds.push_back(q48cupsd::start(dir));
  return g_cupsds.back().port;
}

// Points lp, lpadmin and the test's own requests at another cupsd while it
// lives.
struct at_server {
  explicit at_server(int port) { q48cupsd::use(port); }
  ~at_server() { q48cupsd::use(g_port); }
  at_server(const at_server &) = delete;
  at_server &operator=(const at_server &) = delete;
};

class Cups : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    plug();
    const std::string r = g_root;
    mkdir((r + "/dev").c_str(), 0755);
    mkdir((r + "/dev/usb").c_str(), 0755);
    // A line printer is a character device: a pty's slave side, raw, so that
    // the bytes pass unchanged, behind a link at the line-printer path.
    int slave = -1;
    ASSERT_EQ(openpty(&g_lp_master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    symlink(ttyname(slave), (r + "/dev/usb/lp0").c_str());
    fcntl(g_lp_master, F_SETFL, O_NONBLOCK);
    g_port = start_cupsd(r);
    ASSERT_GT(g_port, 0) << error_log();
    q48cupsd::use(g_port);
    for (const auto &[queue, uri] : {std::pair<std::string, std::string>{"receipt", kUri},
                                     {"lptty", "q48:" + r + "/dev/usb/lp0"}}) {
      ASSERT_EQ(run({"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", uri, "-P",
                     Q48_CUPS_SOURCE "/q48.ppd", "-o", "printer-error-policy=abort-job"})
                    .exit_status,
                0);
    }
  }

  static void TearDownTestSuite() {
    for (const q48cupsd::server &s : g_cupsds) {
      q48cupsd::stop(s);
    }
    q48_emu_free(g_emu);
    g_emu = nullptr;
  }

  void SetUp() override {
    q48_emu_clear_received(g_emu);
    q48_emu_set_out_behaviour(g_emu, SIZE_MAX, Q48_EMU_OUT_ACCEPT);
  }

  static std::string file(const std::string &name, const std::string &bytes) {
    spit(g_root + "/" + name, bytes);
    return g_root + "/" + name;
  }

  // What q48-send makes of a coded text file: what a queue must send of it.
  static std::string sent_by_q48_send(const std::string &path) {
    q48_emu_clear_received(g_emu);
    q48test::run_program(
        {"/bin/sh", "-c", g_root + "/bin/q48-send " + q48_emu_device_path(g_emu) + " < " + path},
        {"LD_PRELOAD=libumockdev-preload.so.0",
         std::string("UMOCKDEV_DIR=") + q48_emu_root_dir(g_emu)});
    const std::string bytes = received();
    q48_emu_clear_received(g_emu);
    return bytes;
  }
};

TEST_F(Cups, ListsThePrinterByItsSerialAndResolvesItAtEachReplug) {
  const auto r = run({"/usr/sbin/lpinfo", "-v"});
  EXPECT_NE(r.out.find(std::string("direct ") + kUri + "\n"), std::string::npos) << r.out;
  const std::vector<std::string> emu_env = {"LD_PRELOAD=libumockdev-preload.so.0",
                                            std::string("UMOCKDEV_DIR=") + q48_emu_root_dir(g_emu)};
  EXPECT_EQ(q48test::run_program({g_root + "/bin/q48-list", "--uri"}, emu_env).out,
            std::string(kUri) + "\n");
  EXPECT_EQ(q48test::run_program({g_root + "/bin/q48-list", "--serial", kSerial}, emu_env).out,
            std::string(q48_emu_device_path(g_emu)) + "\n");
  EXPECT_EQ(
      q48test::run_program({g_root + "/bin/q48-list", "--serial", "other"}, emu_env).exit_status,
      1);

  // The same queue prints at the new address after a replug.
  plug();
  const int id = lp({"-d", "receipt", "-o", "raw", file("replug.bin", "\x1b@after replug\n")});
  EXPECT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), "\x1b@after replug\n");
}

TEST_F(Cups, RawJobsCodedTextAndCopiesArriveExactly) {
  const std::string big = random_bytes(200 * 1024, 1);
  int id = lp({"-d", "receipt", "-o", "raw", file("big.bin", big)});
  ASSERT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_TRUE(received() == big) << received().size() << " bytes arrived";

  // Coded text arrives as the bytes that q48-send makes of it.
  const std::string path = file("order-42.q48", kOrder42);
  const std::string expected = sent_by_q48_send(path);
  ASSERT_GT(expected.size(), 10u);
  id = lp({"-d", "receipt", path});
  ASSERT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), expected);
  // The same text on standard input, its type named; and plain text, which
  // prints as its bytes.
  q48_emu_clear_received(g_emu);
  const auto piped =
      run({"/bin/sh", "-c",
           "/usr/bin/lp -d receipt -o document-format=application/vnd.q48-coded < " + path});
  ASSERT_EQ(wait_job(std::atoi(piped.out.c_str() + piped.out.find('-') + 1)), IPP_JSTATE_COMPLETED);
  id = lp({"-d", "receipt", file("notes.txt", "Tea 2.40\nScone 4.80\n")});
  ASSERT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), expected + "Tea 2.40\nScone 4.80\n");

  // Two copies, raw (the backend) and coded (the filter).
  q48_emu_clear_received(g_emu);
  id = lp({"-d", "receipt", "-n", "2", "-o", "raw", file("two.bin", "copy\n")});
  ASSERT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  id = lp({"-d", "receipt", "-n", "2", path});
  ASSERT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), "copy\ncopy\n" + expected + expected);

  // A copies argument that is no whole count is refused, not taken as another.
  q48_emu_clear_received(g_emu);
  const auto filtered =
      run({g_root + "/bin/filter/q48-coded-to-raw", "1", "user", "title", "2x", "", path});
  EXPECT_EQ(filtered.exit_status, 1);
  EXPECT_EQ(filtered.out, "");
  EXPECT_EQ(q48test::run_program({g_root + "/bin/backend/q48", "1", "user", "title", "", "",
                                  file("bad.bin", "none\n")},
                                 {std::string("DEVICE_URI=") + kUri})
                .exit_status,
            CUPS_BACKEND_FAILED);
  EXPECT_EQ(received(), "");
}

TEST_F(Cups, PrintsToALinePrinterNode) {
  const std::string data = random_bytes(20000, 2);
  const int id = lp({"-d", "lptty", "-o", "raw", file("lp.bin", data)});
  const std::string got =
      lp_received([&](const std::string &so_far) { return so_far.size() >= data.size(); }, 30000);
  EXPECT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_TRUE(got == data) << got.size() << " bytes arrived";
}

TEST_F(Cups, AClaimedPrinterPrintsTheJobOnceItIsFree) {
  q48_emu_set_claim_busy(g_emu, 15); // the first open gives up, the second gets it
  const int id = lp({"-d", "receipt", "-o", "raw", file("busy.bin", "once\n")});
  EXPECT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), "once\n");
  EXPECT_NE(error_log().find("in use by another program"), std::string::npos);
}

TEST_F(Cups, ACancelledJobStopsAtTheNextChunk) {
  q48_emu_set_out_behaviour(g_emu, 256, Q48_EMU_OUT_TIMEOUT); // about 2.5 KB/s
  const int id = lp({"-d", "receipt", "-o", "raw", file("cancel.bin", random_bytes(65536, 3))});
  ASSERT_TRUE(wait_for([] { return q48_emu_received(g_emu, nullptr, 0) >= 1024; }, 30000));
  // Listing while the job prints opens nothing of the printer.
  q48_emu_stats before{};
  q48_emu_get_stats(g_emu, &before);
  EXPECT_NE(run({"/usr/sbin/lpinfo", "-v"}).out.find(kUri), std::string::npos);
  q48_emu_stats after{};
  q48_emu_get_stats(g_emu, &after);
  EXPECT_EQ(after.opens, before.opens);
  EXPECT_EQ(after.claim_attempts, before.claim_attempts);
  const double start = q48test::now_ms();
  ASSERT_EQ(run({"/usr/bin/cancel", std::to_string(id)}).exit_status, 0);
  q48_emu_stats st{};
  wait_for(
      [&] {
        q48_emu_get_stats(g_emu, &st);
        return st.claimed == 0;
      },
      10000);
  const double stopped_ms = q48test::now_ms() - start;
  std::printf("cancel: the backend released the printer %.0f ms after cancel\n", stopped_ms);
  EXPECT_EQ(st.claimed, 0);
  EXPECT_LT(stopped_ms, 3000); // designed for one 400 ms chunk; slack for a loaded machine
  const std::size_t at_stop = q48_emu_received(g_emu, nullptr, 0);
  usleep(300000);
  EXPECT_EQ(q48_emu_received(g_emu, nullptr, 0), at_stop);
  EXPECT_EQ(wait_job(id), IPP_JSTATE_CANCELED);
}

// A receipt outlives its printer's faults: a printer that takes nothing for
// a while (paper out) and one that is unplugged in the middle of the job.
// The job waits through both and says why, and the printer receives every
// byte once: the rest from the byte after the last it took, at the new
// address it comes back at. So for a file whose second copy is cut, and for
// coded text that the filter feeds the backend on standard input.
TEST_F(Cups, AJobResumesAtItsNextByteAfterAStallAndAnUnplug) {
  const std::string data = random_bytes(32768, 4);
  const std::pair<std::vector<std::string>, std::string> jobs[] = {
      {{"-o", "raw", "-n", "2", file("resume.bin", data)}, data + data},
      {{file("resume.q48", q48test::coded_hex(data))}, data}};
  for (const auto &[args, expected] : jobs) {
    SCOPED_TRACE(args.back());
    q48_emu_clear_received(g_emu);
    q48_emu_set_out_behaviour(g_emu, 2048, Q48_EMU_OUT_TIMEOUT);
    std::vector<std::string> argv{"-d", "receipt"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int id = lp(argv);
    const auto got_at_least = [](std::size_t n) {
      return wait_for([n] { return q48_emu_received(g_emu, nullptr, 0) >= n; }, 30000);
    };
    ASSERT_TRUE(got_at_least(4096));
    q48_emu_set_out_behaviour(g_emu, 0, Q48_EMU_OUT_TIMEOUT);
    ASSERT_TRUE(
        wait_for([id] { return job_log(id, "The printer takes no data").size() > 0; }, 10000));
    q48_emu_set_out_behaviour(g_emu, 2048, Q48_EMU_OUT_TIMEOUT);
    ASSERT_TRUE(got_at_least(expected.size() / 2 + 4096));
    ASSERT_EQ(q48_emu_replug(g_emu, 0), 1);
    ASSERT_TRUE(wait_for([id] { return job_log(id, "The printer went away").size() > 0; }, 10000));
    const std::size_t taken = q48_emu_received(g_emu, nullptr, 0);
    EXPECT_NE(job_log(id, "went away after " + std::to_string(taken) + " bytes"), "");
    plug();
    EXPECT_EQ(wait_job(id), IPP_JSTATE_COMPLETED);
    EXPECT_TRUE(received() == expected) << received().size() << " bytes arrived";
    EXPECT_NE(job_log(id, "from byte " + std::to_string(taken + 1)), "");
    EXPECT_EQ(job_log(id, "", 'E'), "");
  }
}

// Either wait ends on a cancel within a second, and is no error: also for
// a job that the filter feeds, which is otherwise sent to its end (the
// absent printer's case).
TEST_F(Cups, ACancelEndsTheWaitForAStalledOrAbsentPrinter) {
  const std::string data = random_bytes(65536, 7);
  for (const bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "absent" : "stalled");
    q48_emu_clear_received(g_emu);
    q48_emu_set_out_behaviour(g_emu, 512, Q48_EMU_OUT_TIMEOUT);
    const int id = unplug ? lp({"-d", "receipt", file("wait.q48", q48test::coded_hex(data))})
                          : lp({"-d", "receipt", "-o", "raw", file("wait.bin", data)});
    ASSERT_TRUE(wait_for([] { return q48_emu_received(g_emu, nullptr, 0) >= 1024; }, 30000));
    if (unplug) {
      ASSERT_EQ(q48_emu_replug(g_emu, 0), 1);
    } else {
      q48_emu_set_out_behaviour(g_emu, 0, Q48_EMU_OUT_TIMEOUT);
    }
    const char *why = unplug ? "The printer went away" : "The printer takes no data";
    ASSERT_TRUE(wait_for([&] { return job_log(id, why).size() > 0; }, 10000));
    const double start = q48test::now_ms();
    ASSERT_EQ(run({"/usr/bin/cancel", std::to_string(id)}).exit_status, 0);
    EXPECT_TRUE(wait_for([id] { return job_log(id, "Job cancelled after").size() > 0; }, 10000));
    std::printf("cancel while %s: the backend ended %.0f ms after cancel\n",
                unplug ? "absent" : "stalled", q48test::now_ms() - start);
    EXPECT_EQ(job_log(id, "", 'E'), "");
    if (unplug) {
      plug();
    }
    q48_emu_set_out_behaviour(g_emu, SIZE_MAX, Q48_EMU_OUT_ACCEPT);
  }
  // After either, the next receipt prints as it should.
  q48_emu_clear_received(g_emu);
  const int next = lp({"-d", "receipt", "-o", "raw", file("next.bin", "next receipt\n")});
  EXPECT_EQ(wait_job(next), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), "next receipt\n");
}

// q48:PATH takes a printer's device node and nothing else, and a serial URI
// names exactly one printer: anything else is refused at once, with an
// ERROR: line and the status that stops the queue, and nothing is written.
TEST_F(Cups, UrisThatNameNoPrinterAreRefusedAtOnce) {
  const std::string plain = file("plain", "keep\n");
  const std::string lp1 = file("dev/usb/lp1", "keep\n"); // an ordinary file at a printer's path
  mkdir((g_root + "/x").c_str(), 0755);
  const std::string job = file("refused.bin", "JOB\n");
  const std::pair<std::string, int> cases[] = {
      {"q48:/", CUPS_BACKEND_STOP},
      {"q48:" + plain, CUPS_BACKEND_STOP},
      {"q48:" + g_root + "/x/../dev/usb/lp1", CUPS_BACKEND_STOP},
      {"q48:/dev/null", CUPS_BACKEND_STOP},
      {"q48://usb?serial=%00", CUPS_BACKEND_STOP},
      {std::string(kUri) + "%00X", CUPS_BACKEND_STOP},
      {std::string(kUri) + "%4", CUPS_BACKEND_STOP}};
  for (const auto &[uri, status] : cases) {
    SCOPED_TRACE(uri);
    const backend_run r = run_backend(uri, job);
    EXPECT_EQ(r.status, status) << r.said;
    EXPECT_NE(r.said.find("ERROR: "), std::string::npos) << r.said;
  }
  EXPECT_EQ(slurp(plain), "keep\n");
  EXPECT_EQ(slurp(lp1), "keep\n");
  EXPECT_EQ(received(), "");
}

// A filter feeds a job on standard input and is told of a cancel too: the
// backend lets it finish what it writes, and logs no error for the cancel.
TEST_F(Cups, AJobOnStandardInputIsSentToItsEndThroughASigterm) {
  int feed[2];
  ASSERT_EQ(pipe(feed), 0);
  const std::string said = g_root + "/stdin-job.err";
  const std::string wrapper = g_root + "/bin/backend/q48";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(feed[0], 0);
    close(feed[1]);
    const int err = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    setenv("DEVICE_URI", kUri, 1);
    execl(wrapper.c_str(), kUri, "1", "user", "title", "1", "", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(feed[0]);
  ASSERT_EQ(write(feed[1], "first ", 6), 6);
  ASSERT_TRUE(wait_for([] { return q48_emu_received(g_emu, nullptr, 0) == 6; }, 10000));
  kill(pid, SIGTERM); // while the backend waits for the rest
  usleep(200000);
  ASSERT_EQ(write(feed[1], "second\n", 7), 7);
  close(feed[1]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == CUPS_BACKEND_OK);
  EXPECT_EQ(received(), "first second\n");
  EXPECT_EQ(slurp(said).find("ERROR:"), std::string::npos) << slurp(said);
}

// Two receipt printers in a class back each other up: a job that meets an
// absent one is handed to the next at once, and prints once.
TEST_F(Cups, AClassHandsItsJobOnWhenAPrinterIsAbsent) {
  ASSERT_EQ(run({"/usr/sbin/lpadmin", "-p", "absent", "-E", "-v", "q48://usb?serial=Q48ABSENT",
                 "-P", Q48_CUPS_SOURCE "/q48.ppd", "-o", "printer-error-policy=abort-job"})
                .exit_status,
            0);
  for (const char *member : {"absent", "receipt"}) {
    ASSERT_EQ(run({"/usr/sbin/lpadmin", "-p", member, "-c", "tills"}).exit_status, 0);
  }
  run({"/usr/sbin/cupsenable", "tills"});
  run({"/usr/sbin/cupsaccept", "tills"});
  // Round robin: one of two jobs meets the absent printer first.
  const int first = lp({"-d", "tills", "-o", "raw", file("till1.bin", "one\n")});
  ASSERT_EQ(wait_job(first), IPP_JSTATE_COMPLETED);
  const int second = lp({"-d", "tills", "-o", "raw", file("till2.bin", "two\n")});
  ASSERT_EQ(wait_job(second), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(received(), "one\ntwo\n");
  EXPECT_NE(error_log().find("queuing the job on the next printer of class tills"),
            std::string::npos);
  // A job cut in its middle waits for its own printer, which has the head
  // of the receipt: the class's other printer would print it a second time.
  q48_emu_clear_received(g_emu);
  q48_emu_set_out_behaviour(g_emu, 2048, Q48_EMU_OUT_TIMEOUT);
  const std::string data = random_bytes(32768, 11);
  const int cut = lp({"-d", "tills", "-o", "raw", file("till3.bin", data)});
  ASSERT_TRUE(wait_for([] { return q48_emu_received(g_emu, nullptr, 0) >= 4096; }, 30000));
  ASSERT_EQ(q48_emu_replug(g_emu, 0), 1);
  ASSERT_TRUE(wait_for([cut] { return job_log(cut, "went away").size() > 0; }, 10000));
  plug();
  EXPECT_EQ(wait_job(cut), IPP_JSTATE_COMPLETED);
  EXPECT_TRUE(received() == data) << received().size() << " bytes arrived";
}

// A shop's tills print to one receipt printer through CUPS's own sharing:
// a second cupsd, as a till runs it, holds a raw queue to the shared queue
// over IPP. The till knows the q48 MIME type, so that it passes coded text
// on as such, and has no filter: the server converts it.
TEST_F(Cups, ATillPrintsThroughTheSharedQueue) {
  ASSERT_EQ(run({"/usr/sbin/lpadmin", "-p", "receipt", "-o", "printer-is-shared=true"}).exit_status,
            0);
  const std::string till = g_root + "/till";
  for (const char *d : {"", "/bin", "/bin/backend", "/etc"}) {
    mkdir((till + d).c_str(), 0755);
  }
  symlink("/usr/lib/cups/backend/ipp", (till + "/bin/backend/ipp").c_str());
  spit(till + "/etc/q48.types", slurp(Q48_CUPS_SOURCE "/q48.types"));
  const int port = start_cupsd(till);
  ASSERT_GT(port, 0) << slurp(till + "/log/error_log");
  const std::string coded = file("till.q48", kOrder42);
  const std::string expected = sent_by_q48_send(coded);
  const std::string data = random_bytes(50000, 6);
  const std::string raw = file("till.bin", data);
  {
    const at_server at_till(port);
    ASSERT_EQ(run({"/usr/sbin/lpadmin", "-p", "receipt", "-E", "-v",
                   "ipp://127.0.0.1:" + std::to_string(g_port) + "/printers/receipt", "-m", "raw"})
                  .exit_status,
              0);
    for (const auto &args : {std::vector<std::string>{"-o", "raw", raw}, {coded}}) {
      std::vector<std::string> argv{"-d", "receipt"};
      argv.insert(argv.end(), args.begin(), args.end());
      const int id = lp(argv);
      ASSERT_GT(id, 0);
      EXPECT_EQ(wait_job(id), IPP_JSTATE_COMPLETED) << slurp(till + "/log/error_log");
    }
  }
  EXPECT_TRUE(received() == data + expected) << received().size() << " bytes arrived";
}

// Sends one side-channel request (declaring `declared` bytes of data, or
// as many as it brings) and returns the answer's data, its status in
// *status; "" with CUPS_SC_STATUS_TIMEOUT when none came within 3 s.
std::string request(int fd, cups_sc_command_t command, cups_sc_status_t *status,
                    const std::string &data = "", std::size_t declared = SIZE_MAX) {
  declared = declared == SIZE_MAX ? data.size() : declared;
  const std::string message =
      std::string{static_cast<char>(command), 0, static_cast<char>(declared >> 8),
                  static_cast<char>(declared & 0xFF)} +
      data;
  EXPECT_EQ(write(fd, message.data(), message.size()), static_cast<ssize_t>(message.size()));
  unsigned char answer[4 + 2048];
  pollfd p{fd, POLLIN, 0};
  const ssize_t n = poll(&p, 1, 3000) == 1 ? read(fd, answer, sizeof answer) : -1;
  *status = n >= 4 ? static_cast<cups_sc_status_t>(answer[1]) : CUPS_SC_STATUS_TIMEOUT;
  EXPECT_TRUE(n < 4 || answer[0] == command);
  return n >= 4 ? std::string(reinterpret_cast<char *>(answer) + 4, static_cast<std::size_t>(n - 4))
                : "";
}

// The backend as cupsd starts it for a job that a filter feeds: the job on
// standard input, the back channel on fd 3, the side channel on fd 4. No
// CUPS client sends these requests, so the test drives them by hand.
TEST_F(Cups, BackendServesItsChannelsWhileItWaitsForItsInput) {
  q48_emu_set_out_behaviour(g_emu, 1024, Q48_EMU_OUT_ACCEPT); // 1 KiB per transfer
  int side[2];
  int back[2];
  int feed[2];
  ASSERT_EQ(socketpair(AF_LOCAL, SOCK_STREAM, 0, side), 0);
  ASSERT_EQ(socketpair(AF_LOCAL, SOCK_STREAM, 0, back), 0);
  ASSERT_EQ(pipe(feed), 0);
  // Small buffers, so that a filter that stops reading answers soon leaves
  // the backend no room for them.
  const int small = 4096;
  setsockopt(side[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(side[0], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string dir = q48_emu_root_dir(g_emu);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(feed[0], 0);
    dup2(back[1], 3);
    dup2(side[1], 4);
    close_range(5, ~0U, 0);
    setenv("DEVICE_URI", kUri, 1);
    setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    setenv("UMOCKDEV_DIR", dir.c_str(), 1);
    const std::string backend = g_root + "/bin/q48";
    execl(backend.c_str(), kUri, "1", "user", "title", "1", "", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(feed[0]);
  close(side[1]);
  close(back[1]);
  // A page, then a drain: answered once every byte of the page is out.
  const std::string page = random_bytes(60100, 5);
  ASSERT_EQ(write(feed[1], page.data(), page.size()), static_cast<ssize_t>(page.size()));
  cups_sc_status_t st = CUPS_SC_STATUS_NONE;
  EXPECT_EQ(request(side[0], CUPS_SC_CMD_DRAIN_OUTPUT, &st), "");
  EXPECT_EQ(st, CUPS_SC_STATUS_OK);
  EXPECT_EQ(q48_emu_received(g_emu, nullptr, 0), page.size());
  // While it waits for more, it answers, and passes on what the printer says.
  q48_emu_queue_answer(g_emu, "\x12\x34", 2);
  EXPECT_EQ(request(side[0], CUPS_SC_CMD_GET_CONNECTED, &st), "\x01");
  EXPECT_EQ(request(side[0], CUPS_SC_CMD_GET_DEVICE_ID, &st),
            std::string("MFG:Mirelvank;MDL:Q48;CMD:ESC/POS;CLS:PRINT;SN:") + kSerial + ";");
  EXPECT_EQ(request(side[0], CUPS_SC_CMD_GET_STATE, &st).size(), 1u);
  char answer[16];
  pollfd p{back[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  EXPECT_EQ(std::string(answer, static_cast<std::size_t>(read(back[0], answer, sizeof answer))),
            "\x12\x34");
  // A request that declares more data than it brings is refused, not cut.
  request(side[0], CUPS_SC_CMD_GET_DEVICE_ID, &st, "0123456789", 100);
  EXPECT_EQ(st, CUPS_SC_STATUS_TOO_BIG);
  request(side[0], CUPS_SC_CMD_SOFT_RESET, &st);
  EXPECT_EQ(st, CUPS_SC_STATUS_OK);
  // A filter that no longer reads its answers holds nothing up.
  for (int i = 0; i < 40; i++) {
    const char get_id[4] = {CUPS_SC_CMD_GET_DEVICE_ID, 0, 0, 0};
    ASSERT_EQ(write(side[0], get_id, 4), 4);
  }
  ASSERT_EQ(write(feed[1], "end\n", 4), 4);
  close(feed[1]);
  int ws = 0;
  wait_for([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, 15000);
  kill(pid, SIGKILL);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == CUPS_BACKEND_OK);
  EXPECT_TRUE(received() == page + "end\n") << received().size() << " bytes arrived";
  close(side[0]);
  close(back[0]);
}

// Run by hand, the backend has no channels: the first files it opens get
// their numbers, and must not be taken for them. Here the printer's node
// would be the side channel, and says something first.
TEST_F(Cups, ChannelDescriptorsThatCupsdDidNotOpenAreNoChannels) {
  (void)lp_received([](const std::string &) { return true; }, 0);
  ASSERT_EQ(write(g_lp_master, "\x14\0\0\0", 4), 4);
  const std::string data = random_bytes(16384, 9);
  const std::string job = file("nochannels.bin", data);
  const pid_t pid = fork();
  if (pid == 0) {
    close_range(3, ~0U, 0);
    setenv("DEVICE_URI", ("q48:" + g_root + "/dev/usb/lp0").c_str(), 1);
    const std::string backend = g_root + "/bin/q48";
    execl(backend.c_str(), "q48", "1", "user", "title", "1", "", job.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  int ws = 0;
  const std::string got =
      lp_received([&](const std::string &) { return waitpid(pid, &ws, WNOHANG) == pid; }, 15000);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == CUPS_BACKEND_OK);
  EXPECT_TRUE(got == data) << got.size() << " bytes arrived";
}

// Finding the printer by its serial and opening it are two steps: a printer
// that took the address of the one found in between gets no byte of the
// job. Here the serial in sysfs is a FIFO that shows the printer asked for
// to the first look and another to every later one, as a swap in between
// would; nothing else can time that swap.
TEST_F(Cups, APrinterThatTookTheAddressOfTheOneFoundGetsNothing) {
  const std::string serial = std::string(q48_emu_root_dir(g_emu)) + "/sys/bus/usb/devices/1-" +
                             std::to_string(g_devnum) + "/serial";
  const std::string kept = slurp(serial);
  ASSERT_EQ(kept, std::string(kSerial) + "\n");
  ASSERT_EQ(unlink(serial.c_str()), 0);
  ASSERT_EQ(mkfifo(serial.c_str(), 0644), 0);
  // Each look gets one answer: the next is written once the look has closed
  // the FIFO.
  const int closes = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(closes, serial.c_str(), IN_CLOSE_NOWRITE);
  std::atomic<bool> done{false};
  std::thread shows([&] {
    for (int looks = 0; !done; looks++) {
      const int fd = open(serial.c_str(), O_WRONLY);
      const std::string shown = looks == 0 ? kept : "Q48OTHER\n";
      const ssize_t written = write(fd, shown.data(), shown.size());
      EXPECT_TRUE(written > 0 || done); // the last reader is the test's own
      close(fd);
      inotify_event event[4];
      (void)read(closes, event, sizeof event);
    }
  });
  const backend_run r = run_backend(kUri, file("swap.bin", "not for this printer\n"), 3);
  done = true;
  close(open(serial.c_str(), O_RDONLY | O_NONBLOCK)); // lets the last look end
  shows.join();
  close(closes);
  unlink(serial.c_str());
  spit(serial, kept);
  EXPECT_EQ(received(), "");
  EXPECT_NE(r.said.find("INFO: Another printer took"), std::string::npos) << r.said;
}

} // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char root[] = "/tmp/q48-cups-test.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 1;
  }
  g_root = root;
  q48cupsd::install_q48(
      g_root, {Q48_BACKEND_PATH, Q48_FILTER_PATH, Q48_API_LIB, Q48_TB_LIB, Q48_CUPS_SOURCE});
  spit(g_root + "/bin/q48-send", slurp(Q48_SEND_PATH), 0755);
  spit(g_root + "/bin/q48-list", slurp(Q48_LIST_PATH), 0755);
  chmod(root, 0755);
  setenv("LD_LIBRARY_PATH", (g_root + "/lib").c_str(), 1);
  if (!q48cupsd::leave_root(g_root)) {
    std::fputs("cannot become nobody\n", stderr);
    return 1;
  }
  setenv("HOME", root, 1);
  setenv("LC_ALL", "C", 1); // the test reads lpstat's words
  // A sanitized child refuses to start with the umockdev preload ahead of
  // its runtime.
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 0);
  const int status = RUN_ALL_TESTS();
  q48test::run_program({"/bin/rm", "-rf", g_root});
  return status;
}
