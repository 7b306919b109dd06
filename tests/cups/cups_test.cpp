// The q48 backend, filter and PPD under a real, private cupsd: the printer
// is the emulated USB printer (and a pty at a line-printer path), the
// clients are Debian's lp, lpadmin, lpinfo and cancel. One cupsd serves all
// cases; it runs as nobody (the test drops to nobody when started as root),
// on a free loopback port, with everything of its own under one folder, and
// dies with the test whatever happens (parent-death signal).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <cups/backend.h>
#include <cups/cups.h>
#include <cups/sidechannel.h>

#include "q48_emulated_printer.h"
#include "q48_test_util.h"

namespace {

const char kSerial[] = "Q48CUPS0001";
const char kUri[] = "q48://usb?serial=Q48CUPS0001";

std::string g_root; // the private cupsd's folder
q48_emu *g_emu = nullptr;
int g_lp_master = -1; // the far end of the line printer, a pty at dev/usb/lp0
pid_t g_cupsd = -1;
int g_devnum = 11;

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void spit(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

std::string received() {
  std::string got(q48_emu_received(g_emu, nullptr, 0), '\0');
  got.resize(q48_emu_received(g_emu, reinterpret_cast<unsigned char *>(got.data()), got.size()));
  return got;
}

// (Re)plugs the emulated printer, at a new address each time, as a real
// replug would; the backends find its testbed through a file.
void plug() {
  q48_emu_free(g_emu);
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  cfg.serial = kSerial;
  cfg.devnum = g_devnum++;
  g_emu = q48_emu_new(&cfg);
  ASSERT_NE(g_emu, nullptr);
  spit(g_root + "/umockdev_dir", q48_emu_root_dir(g_emu));
}

int free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
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

ipp_jstate_t job_state(int id) {
  ipp_t *req = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  const std::string uri = "ipp://localhost/jobs/" + std::to_string(id);
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ipp_t *resp = cupsDoRequest(CUPS_HTTP_DEFAULT, req, "/");
  ipp_attribute_t *a = ippFindAttribute(resp, "job-state", IPP_TAG_ENUM);
  const auto state =
      a != nullptr ? static_cast<ipp_jstate_t>(ippGetInteger(a, 0)) : IPP_JSTATE_PENDING;
  ippDelete(resp);
  return state;
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

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s) {
    c = static_cast<char>(gen());
  }
  return s;
}

std::string error_log() { return slurp(g_root + "/log/error_log"); }

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

class Cups : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    plug();
    const int port = free_port();
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
    for (const char *d : {"/etc", "/spool", "/spool/tmp", "/state", "/cache", "/log"}) {
      mkdir((r + d).c_str(), 0755);
    }
    symlink("/usr/lib/cups/daemon", (r + "/bin/daemon").c_str());
    // The emulator's environment reaches the backend through these wrappers,
    // not SetEnv: cups-deviced hands the backends it lists a fixed
    // environment, and a replug makes a new testbed after cupsd has started.
    const std::string env = "export LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$(cat " + r +
                            "/umockdev_dir) LD_LIBRARY_PATH=" + r +
                            "/lib ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0\n";
    spit(r + "/bin/backend/q48", "#!/bin/sh\n" + env + "exec " + r + "/bin/q48 \"$@\"\n", 0755);
    spit(r + "/bin/filter/q48-coded-to-raw",
         "#!/bin/sh\n" + env + "exec " + r + "/bin/q48-coded-to-raw \"$@\"\n", 0755);
    spit(r + "/etc/q48.types", slurp(Q48_CUPS_SOURCE "/q48.types"));
    spit(r + "/etc/q48.convs", slurp(Q48_CUPS_SOURCE "/q48.convs"));
    spit(r + "/etc/cups-files.conf",
         "ServerRoot " + r + "/etc\nServerBin " + r + "/bin\nRequestRoot " + r +
             "/spool\nTempDir " + r + "/spool/tmp\nStateDir " + r + "/state\nCacheDir " + r +
             "/cache\nAccessLog " + r + "/log/access_log\nErrorLog " + r +
             "/log/error_log\nPageLog " + r + "/log/page_log\nSystemGroup " +
             getgrgid(getgid())->gr_name + "\nSandboxing Off\n");
    spit(r + "/etc/cupsd.conf", "Listen 127.0.0.1:" + std::to_string(port) +
                                    "\nLogLevel debug\nBrowsing Off\nWebInterface No\n"
                                    "DefaultAuthType None\n<Location />\nOrder allow,deny\n"
                                    "Allow all\n</Location>\n<Policy default>\n<Limit All>\n"
                                    "Order deny,allow\nAllow all\n</Limit>\n</Policy>\n");
    const std::string server = "127.0.0.1:" + std::to_string(port);
    setenv("CUPS_SERVER", server.c_str(), 1);

    const pid_t parent = getpid();
    g_cupsd = fork();
    if (g_cupsd == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) {
        _exit(1);
      }
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", (r + "/etc/cupsd.conf").c_str(), "-s",
            (r + "/etc/cups-files.conf").c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    ASSERT_TRUE(wait_for(
        [] {
          return run({"/usr/bin/lpstat", "-r"}).out ==
                 "scheduler is running\n"; // it exits 0 either way
        },
        20000))
        << error_log();
    for (const auto &[queue, uri] : {std::pair<std::string, std::string>{"receipt", kUri},
                                     {"lptty", "q48:" + r + "/dev/usb/lp0"}}) {
      ASSERT_EQ(run({"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", uri, "-P",
                     Q48_CUPS_SOURCE "/q48.ppd", "-o", "printer-error-policy=abort-job"})
                    .exit_status,
                0);
    }
  }

  static void TearDownTestSuite() {
    if (g_cupsd > 0) {
      kill(g_cupsd, SIGTERM);
      waitpid(g_cupsd, nullptr, 0);
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
  const std::string coded = "[1B 40] \"Order 42\" \\n [1B 61 01] \"Total 7.20\" \\n\n"
                            "[1D 56 00]   // cut\n";
  const std::string path = file("order-42.q48", coded);
  q48_emu_clear_received(g_emu);
  q48test::run_program(
      {"/bin/sh", "-c", g_root + "/bin/q48-send " + q48_emu_device_path(g_emu) + " < " + path},
      {"LD_PRELOAD=libumockdev-preload.so.0",
       std::string("UMOCKDEV_DIR=") + q48_emu_root_dir(g_emu)});
  const std::string expected = received();
  ASSERT_GT(expected.size(), 10u);
  q48_emu_clear_received(g_emu);
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
  std::string got;
  wait_for(
      [&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(g_lp_master, buf, sizeof buf)) > 0) {
          got.append(buf, static_cast<std::size_t>(n));
        }
        return got.size() >= data.size();
      },
      30000);
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

TEST_F(Cups, AnUnplugMidJobAbortsItWithTheCountSent) {
  q48_emu_set_out_behaviour(g_emu, 512, Q48_EMU_OUT_TIMEOUT);
  const std::string data = random_bytes(65536, 4);
  const int id = lp({"-d", "receipt", "-o", "raw", file("unplug.bin", data)});
  ASSERT_TRUE(wait_for([] { return q48_emu_received(g_emu, nullptr, 0) >= 4096; }, 30000));
  q48_emu_unplug(g_emu);
  EXPECT_EQ(wait_job(id), IPP_JSTATE_ABORTED);
  const std::string got = received();
  EXPECT_TRUE(got == data.substr(0, got.size())); // nothing sent twice, nothing skipped
  const std::string line = "The printer went away after " + std::to_string(got.size()) + " bytes";
  EXPECT_NE(error_log().find(line), std::string::npos) << line;
  // abort-job, the policy for a till nobody watches: after the replug the
  // next receipt prints without a cupsenable, and the cut one not again.
  plug();
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
}

// The backend as cupsd starts it, with the back channel on fd 3 and the
// side channel on fd 4, driven by hand: no CUPS client sends these requests.
std::string side_channel(int fd, cups_sc_command_t command, cups_sc_status_t *status) {
  const unsigned char request[4] = {static_cast<unsigned char>(command), 0, 0, 0};
  EXPECT_EQ(write(fd, request, sizeof request), 4);
  unsigned char answer[4 + 2048];
  pollfd p{fd, POLLIN, 0};
  const ssize_t n = poll(&p, 1, 10000) == 1 ? read(fd, answer, sizeof answer) : -1;
  EXPECT_GE(n, 4);
  EXPECT_EQ(answer[0], command);
  *status = static_cast<cups_sc_status_t>(answer[1]);
  return n >= 4 ? std::string(reinterpret_cast<char *>(answer) + 4, static_cast<std::size_t>(n - 4))
                : "";
}

TEST_F(Cups, BackendAnswersTheSideChannelAndForwardsTheBackChannel) {
  q48_emu_set_out_behaviour(g_emu, 256, Q48_EMU_OUT_TIMEOUT); // keeps the job going
  q48_emu_queue_answer(g_emu, "\x12\x34", 2);
  int side[2];
  int back[2];
  ASSERT_EQ(socketpair(AF_LOCAL, SOCK_STREAM, 0, side), 0);
  ASSERT_EQ(socketpair(AF_LOCAL, SOCK_STREAM, 0, back), 0);
  const std::string job = file("side.bin", random_bytes(16384, 5));
  const std::string dir = q48_emu_root_dir(g_emu);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(back[1], 3);
    dup2(side[1], 4);
    setenv("DEVICE_URI", kUri, 1);
    setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    setenv("UMOCKDEV_DIR", dir.c_str(), 1);
    const std::string backend = g_root + "/bin/q48";
    execl(backend.c_str(), kUri, "1", "user", "title", "1", "", job.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(side[1]);
  close(back[1]);
  ASSERT_TRUE(wait_for([] { return q48_emu_received(g_emu, nullptr, 0) > 0; }, 10000));
  cups_sc_status_t st = CUPS_SC_STATUS_NONE;
  EXPECT_EQ(side_channel(side[0], CUPS_SC_CMD_GET_CONNECTED, &st), "\x01");
  EXPECT_EQ(st, CUPS_SC_STATUS_OK);
  EXPECT_EQ(side_channel(side[0], CUPS_SC_CMD_GET_DEVICE_ID, &st),
            std::string("MFG:Mirelvank;MDL:Q48;CMD:ESC/POS;CLS:PRINT;SN:") + kSerial + ";");
  EXPECT_EQ(side_channel(side[0], CUPS_SC_CMD_GET_STATE, &st).size(), 1u);
  char answer[16];
  pollfd p{back[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_EQ(std::string(answer, static_cast<std::size_t>(read(back[0], answer, sizeof answer))),
            "\x12\x34");
  // After the answer is forwarded: a reset discards what the printer says.
  side_channel(side[0], CUPS_SC_CMD_SOFT_RESET, &st);
  EXPECT_EQ(st, CUPS_SC_STATUS_OK);
  side_channel(side[0], CUPS_SC_CMD_DRAIN_OUTPUT, &st);
  EXPECT_EQ(st, CUPS_SC_STATUS_OK);
  q48_emu_set_out_behaviour(g_emu, SIZE_MAX, Q48_EMU_OUT_ACCEPT);
  int ws = 0;
  waitpid(pid, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == CUPS_BACKEND_OK);
  EXPECT_EQ(received().size(), 16384u);
  close(side[0]);
  close(back[0]);
}

} // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char root[] = "/tmp/q48-cups-test.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 1;
  }
  g_root = root;
  // Copies of the programs, so that cupsd's user needs no access to the
  // build tree.
  mkdir((g_root + "/bin").c_str(), 0755);
  mkdir((g_root + "/bin/backend").c_str(), 0755);
  mkdir((g_root + "/bin/filter").c_str(), 0755);
  mkdir((g_root + "/lib").c_str(), 0755);
  for (const auto &[from, to] :
       {std::pair<const char *, const char *>{Q48_BACKEND_PATH, "/bin/q48"},
        {Q48_FILTER_PATH, "/bin/q48-coded-to-raw"},
        {Q48_SEND_PATH, "/bin/q48-send"},
        {Q48_LIST_PATH, "/bin/q48-list"},
        {Q48_API_LIB, "/lib/libQ48Api.so.1"},
        {Q48_TB_LIB, "/lib/libQ48Tb.so.1"}}) {
    spit(g_root + to, slurp(from), 0755);
  }
  chmod(root, 0755);
  setenv("LD_LIBRARY_PATH", (g_root + "/lib").c_str(), 1);
  if (getuid() == 0) {
    // cupsd refuses nothing as root, but a test must not run it so.
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr ||
        run({"/bin/chown", "-R",
             std::to_string(nobody->pw_uid) + ":" + std::to_string(nobody->pw_gid), g_root})
                .exit_status != 0 ||
        setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
      std::fputs("cannot become nobody\n", stderr);
      return 1;
    }
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
