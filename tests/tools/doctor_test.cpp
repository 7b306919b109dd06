// q48-doctor as an integrator meets it: the emulated printer, a private
// cupsd with a queue by serial, the udev rule and the group file. The test
// runs as root in a mount namespace of its own, where its rules folder and
// group file stand over the machine's, and runs the doctor as nobody where
// access is the question. Each finding short of OK is followed by the fix
// it names (or by what that fix stands for where it would reach beyond the
// test: udev, a login) until the line is OK.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "q48_emulated_printer.h"
#include "q48_private_cupsd.h"
#include "q48_test_util.h"

namespace {

using q48cupsd::slurp;
using q48cupsd::spit;

std::string g_root; // the test's folder: rules, group file, cupsd
q48cupsd::server g_cupsd;
std::string g_lp_line; // lp's line in the group file, without members
gid_t g_lp = 0;
const std::string kUsb = "/dev/bus/usb/001/011";

struct outcome {
  int status = -1;
  std::string out;
};

// q48-doctor with args against the testbed at umockdev_dir, as root or as
// nobody; nobody has no groups or, with login, those a login would give.
outcome doctor(const std::vector<std::string> &args, const std::string &umockdev_dir,
               bool nobody = false, bool login = false) {
  std::vector<std::string> argv{"/usr/bin/env", "UMOCKDEV_DIR=" + umockdev_dir,
                                "LD_PRELOAD=libumockdev-preload.so.0"};
  if (nobody) {
    argv.insert(argv.end(), {"/usr/bin/setpriv", "--reuid=nobody",
                             "--regid=" + std::to_string(getpwnam("nobody")->pw_gid),
                             login ? "--init-groups" : "--clear-groups"});
  }
  argv.push_back(Q48_DOCTOR_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  const q48test::run_result r = q48test::run_program(argv);
  return {r.exit_status, r.out};
}

int sh(const std::string &command) {
  return q48test::run_program({"/bin/sh", "-c", command}).exit_status;
}

// The line of a check ("access /dev/bus/usb/001/011") and the fixes under it.
struct line {
  std::string state, text;
  std::vector<std::string> fixes;
};

line find(const std::string &out, const std::string &check) {
  line l;
  std::istringstream lines(out);
  bool in = false;
  for (std::string s; std::getline(lines, s);) {
    if (s.size() > 8 && s[0] != ' ') {
      in = s.compare(8, check.size() + 1, check + ":") == 0;
      if (in) {
        l.state = s.substr(0, s.find(' '));
        l.text = s.substr(8);
      }
    } else if (in) {
      l.fixes.push_back(s.substr(8));
    }
  }
  return l;
}

void apply(const line &l) {
  for (const std::string &fix : l.fixes) {
    EXPECT_EQ(sh(fix), 0) << fix;
  }
}

// What Python's json makes of the doctor's --json output: expr, with the
// document as d.
std::string json_says(const std::string &json, const std::string &expr) {
  spit(g_root + "/doctor.json", json);
  return q48test::run_program(
             {"/usr/bin/python3", "-c",
              "import json, sys; d = json.load(open(sys.argv[1])); print(" + expr + ")",
              g_root + "/doctor.json"})
      .out;
}

void set_rule(bool installed) {
  const std::string rule = g_root + "/rules/60-q48-printer.rules";
  if (installed) {
    spit(rule, slurp(Q48_SOURCE_DIR "/packaging/udev/60-q48-printer.rules"));
  } else {
    unlink(rule.c_str());
  }
}

// The emulated printer, its node as the udev rule makes it, nobody in lp.
class Doctor : public ::testing::Test {
protected:
  void SetUp() override {
    q48_emu_config cfg;
    q48_emu_config_default(&cfg);
    emu = q48_emu_new(&cfg);
    ASSERT_NE(emu, nullptr);
    dir = q48_emu_root_dir(emu);
    // umockdev's sockets are the emulator's, not the printer's: open to all.
    chmod(dir.c_str(), 01777);
    chmod((dir + "/ioctl" + kUsb).c_str(), 0777);
    node(g_lp, 0660);
    set_rule(true);
    spit("/etc/group", group_file + g_lp_line + "nobody\n");
  }
  void TearDown() override { q48_emu_free(emu); }
  void node(gid_t gid, mode_t mode) {
    ASSERT_EQ(chown((dir + kUsb).c_str(), 0, gid), 0);
    ASSERT_EQ(chmod((dir + kUsb).c_str(), mode), 0);
  }

  q48_emu *emu = nullptr;
  std::string dir;
  std::string group_file = slurp(g_root + "/group.orig");
};

TEST_F(Doctor, HealthySetUpIsAllOkInTextAndJsonAndSendsNothing) {
  const outcome r = doctor({}, dir, true, true);
  EXPECT_EQ(r.status, 0) << r.out;
  std::istringstream lines(r.out);
  int count = 0;
  for (std::string s; std::getline(lines, s); count++) {
    EXPECT_EQ(s.rfind("OK      ", 0), 0u) << s;
  }
  for (const char *check : {"printer ", "usblp ", "access ", "busy ", "udev rule", "cupsd",
                            "cupsd type", "queue uri receipt", "queue printer receipt",
                            "queue state receipt", "queue error policy receipt", "libQ48Api",
                            "libQ48Tb", "python3: imports q48, which loads the same libraries"}) {
    EXPECT_NE(r.out.find(std::string("OK      ") + check), std::string::npos) << check;
  }
  const outcome j = doctor({"--json"}, dir, true, true);
  EXPECT_EQ(j.status, 0);
  EXPECT_EQ(json_says(j.out, "len(d['findings']), {f['state'] for f in d['findings']}, "
                             "d['problems'], d['warnings'], d['findings'][0]['subject']"),
            std::to_string(count) + " {'OK'} 0 0 " + kUsb + "\n")
      << j.out;
  q48_emu_stats st{};
  q48_emu_get_stats(emu, &st);
  EXPECT_EQ(st.out_urbs, 0);
  EXPECT_EQ(st.claimed, 0); // claimed, and released at once
  EXPECT_GT(st.claim_attempts, 0);
}

// Each step of the road to access, from a printer plugged in before the
// rule was there to a session that has the group.
TEST_F(Doctor, AccessNamesWhatIsMissingUntilTheUserCanOpenThePrinter) {
  node(0, 0644);
  set_rule(false);
  spit("/etc/group", group_file + g_lp_line + "\n");
  const std::string access = "access " + kUsb;
  struct step {
    const char *says;
    const char *fix_part;
    std::function<void()> stands_for;
  };
  const step steps[] = {
      {"no udev rule gives access", "| sudo install -D -m 644 /dev/stdin /etc/udev/rules.d/",
       [] { set_rule(true); }},
      {"group lp and mode 0660 were not applied", "sudo udevadm trigger --subsystem-match=usb",
       [this] { node(g_lp, 0660); }},
      {"nobody is not in group lp", "sudo usermod -aG lp nobody",
       [this] { spit("/etc/group", group_file + g_lp_line + "nobody\n"); }},
      {"began before that: log in again", "newgrp lp", [] {}}, // the login below
  };
  for (const step &s : steps) {
    const line l = find(doctor({}, dir, true).out, access);
    EXPECT_EQ(l.state, "PROBLEM") << s.says;
    EXPECT_NE(l.text.find(s.says), std::string::npos) << l.text;
    std::string fixes;
    for (const std::string &f : l.fixes) {
      fixes += f + "\n";
    }
    EXPECT_NE(fixes.find(s.fix_part), std::string::npos) << fixes;
    s.stands_for();
  }
  const outcome r = doctor({}, dir, true, true);
  EXPECT_EQ(find(r.out, access).state, "OK") << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

// A claim that stays busy, and a second printer whose usblp node another
// process holds: that one is named and killed by the fix. The second
// printer's serial is one a device could write to fool a terminal or JSON.
TEST_F(Doctor, AHeldPrinterIsBusyAndTheProcessHoldingItsNodeIsNamed) {
  q48_emu_config cfg;
  q48_emu_config_default(&cfg);
  cfg.devnum = 12;
  cfg.serial = "Q48 \"2\"\x1b[2J\\\xff\u202e"; // and a right-to-left override
  cfg.lp = 0;                                  // usblp's node, which the testbed makes
  q48_emu *lp_printer = q48_emu_new_beside(emu, &cfg);
  ASSERT_NE(lp_printer, nullptr);
  q48_emu_set_kernel_driver(lp_printer, 1, 0);
  const pid_t holder = fork();
  if (holder == 0) {
    execl("/bin/sh", "sh", "-c", ("exec sleep 60 3<>" + dir + "/dev/usb/lp0").c_str(), nullptr);
    _exit(127);
  }
  q48_emu_set_claim_busy(emu, 1000000);
  for (int i = 0; i < 500 && slurp("/proc/" + std::to_string(holder) + "/comm") != "sleep\n"; i++) {
    usleep(10000); // the shell opens the node and becomes sleep
  }

  outcome r = doctor({}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(find(r.out, "busy " + kUsb).state, "PROBLEM") << r.out;
  EXPECT_NE(r.out.find("another program holds interface 0"), std::string::npos);
  const line held = find(r.out, "busy /dev/bus/usb/001/012");
  EXPECT_NE(
      held.text.find("/dev/usb/lp0 is open in process " + std::to_string(holder) + " (sleep)"),
      std::string::npos)
      << r.out;
  EXPECT_NE(find(r.out, "usblp /dev/bus/usb/001/012")
                .text.find("bound, serving the printer as "
                           "/dev/usb/lp0; opening"),
            std::string::npos);
  apply(held);
  waitpid(holder, nullptr, 0);
  q48_emu_set_claim_busy(emu, 0); // the other program lets go

  r = doctor({}, dir);
  EXPECT_EQ(find(r.out, "busy " + kUsb).state, "OK") << r.out;
  EXPECT_EQ(find(r.out, "busy /dev/bus/usb/001/012").state, "OK") << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(
                "OK      printer /dev/bus/usb/001/012: serial Q48 \"2\"\\x1B[2J\\\\\\xFF\\u202E, "),
            std::string::npos);
  EXPECT_EQ(json_says(doctor({"--json"}, dir).out, "d['findings'][4]['found'][:33]"),
            "serial Q48 \"2\"\\x1B[2J\\\\\\xFF\\u202E\n");
  q48_emu_stats st{};
  q48_emu_get_stats(lp_printer, &st);
  EXPECT_EQ(st.claim_attempts + st.detach_attempts, 0); // usblp stays bound
  q48_emu_free(lp_printer);
}

// The queues' faults, and cupsd started before q48.types was in place.
TEST_F(Doctor, EachQueueProblemIsNamedWithTheCommandThatFixesIt) {
  const std::string types = g_root + "/cupsd/etc/q48.types";
  q48cupsd::stop(g_cupsd);
  unlink(types.c_str());
  g_cupsd = q48cupsd::start(g_root + "/cupsd");
  q48cupsd::use(g_cupsd.port);
  line t = find(doctor({}, dir).out, "cupsd type");
  EXPECT_EQ(t.state, "PROBLEM");
  EXPECT_NE(t.fixes.back().find("systemctl restart cups"), std::string::npos);
  q48cupsd::stop(g_cupsd);
  spit(types, slurp(Q48_SOURCE_DIR "/cups/q48.types"));
  g_cupsd = q48cupsd::start(g_root + "/cupsd");
  q48cupsd::use(g_cupsd.port);
  EXPECT_EQ(find(doctor({}, dir).out, "cupsd type").state, "OK");

  // -E after -p: enabled (before it, encrypted).
  const std::string add = "lpadmin -P " Q48_SOURCE_DIR "/cups/q48.ppd -p ";
  const std::string serial = " -E -v q48://usb?serial=Q48EMU0001 -o printer-error-policy=";
  ASSERT_EQ(sh(add + "bypath -E -v q48:" + kUsb + " -o printer-error-policy=abort-job"), 0);
  ASSERT_EQ(sh(add + "stopped" + serial +
               "abort-job && cupsreject stopped &&"
               " cupsdisable -r 'paper jam' stopped"),
            0);
  ASSERT_EQ(sh(add + "stopping" + serial + "stop-printer"), 0);
  const std::pair<const char *, const char *> faults[] = {
      {"queue uri bypath", "names the printer by a path, which a replug changes"},
      {"queue state stopped", "stopped, not accepting jobs (paused): paper jam"},
      {"queue error policy stopping", "stop-printer: an error stops the queue"},
  };
  const outcome r = doctor({}, dir);
  for (const auto &[check, says] : faults) {
    const line l = find(r.out, check);
    EXPECT_EQ(l.state, "PROBLEM") << r.out;
    EXPECT_NE(l.text.find(says), std::string::npos) << l.text;
    apply(l);
  }
  const outcome fixed = doctor({}, dir);
  EXPECT_EQ(fixed.status, 0) << fixed.out;
  EXPECT_EQ(fixed.out.find("PROBLEM"), std::string::npos) << fixed.out;
  EXPECT_EQ(sh("lpadmin -x bypath && lpadmin -x stopped && lpadmin -x stopping"), 0);
}

TEST_F(Doctor, PrinterAskedForAbsentOrNamedAndTheFormFeed) {
  EXPECT_EQ(doctor({"--fast"}, dir).status, 2);
  const outcome none = doctor({}, g_root + "/rules"); // a testbed without USB
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("PROBLEM printer: no Q48 printer attached (USB 2f7a:0001)\n"
                          "        # plug the printer in"),
            std::string::npos)
      << none.out;
  EXPECT_EQ(find(none.out, "queue printer receipt").state, "PROBLEM");
  const outcome other = doctor({"Q48EMU9999"}, dir);
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.out.find("printer Q48EMU9999: no Q48 printer attached with this serial or path"),
            std::string::npos);
  EXPECT_EQ(find(other.out, "queue uri receipt").state, ""); // not that printer's queue

  const outcome ff = doctor({"--form-feed", "/dev/bus/usb/1/11"}, dir);
  EXPECT_EQ(ff.status, 0) << ff.out;
  EXPECT_EQ(find(ff.out, "form feed " + kUsb).text, "form feed " + kUsb + ": sent 0C");
  std::string got(8, '\0');
  got.resize(q48_emu_received(emu, reinterpret_cast<unsigned char *>(got.data()), got.size()));
  EXPECT_EQ(got, "\x0C");
}

} // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The rules folder and the group file are the machine's: only a mount
  // namespace of the test's own may put others in their place.
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::puts("[  SKIPPED ] q48-doctor's tests need root and a mount namespace");
    return 0;
  }
  char root[] = "/tmp/q48-doctor-test.XXXXXX";
  if (mkdtemp(root) == nullptr) {
    return 1;
  }
  g_root = root;
  chmod(root, 0755);
  mkdir((g_root + "/rules").c_str(), 0755);
  // The group file without lp's line, which the cases write as they need.
  const group *lp = getgrnam("lp");
  if (lp == nullptr) {
    return 1;
  }
  g_lp = lp->gr_gid;
  g_lp_line = "lp:x:" + std::to_string(g_lp) + ":";
  std::istringstream lines(slurp("/etc/group"));
  std::string others;
  for (std::string s; std::getline(lines, s);) {
    others += s.rfind("lp:", 0) == 0 ? "" : s + "\n";
  }
  spit(g_root + "/group.orig", others);
  spit(g_root + "/group", "");
  for (const char *d : {"/usr/lib/udev/rules.d", "/etc/udev/rules.d"}) {
    (void)mount((g_root + "/rules").c_str(), d, nullptr, MS_BIND, nullptr);
  }
  if (mount((g_root + "/group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
    return 1;
  }
  // cupsd needs the backend and the filter only to be there: no job runs.
  const std::string c = g_root + "/cupsd";
  for (const char *d : {"", "/bin", "/bin/backend", "/bin/filter", "/etc"}) {
    mkdir((c + d).c_str(), 0755);
  }
  spit(c + "/bin/backend/q48", "#!/bin/sh\n", 0755);
  spit(c + "/bin/filter/q48-coded-to-raw", "#!/bin/sh\n", 0755);
  spit(c + "/etc/q48.types", slurp(Q48_SOURCE_DIR "/cups/q48.types"));
  spit(c + "/etc/q48.convs", slurp(Q48_SOURCE_DIR "/cups/q48.convs"));
  g_cupsd = q48cupsd::start(c);
  q48cupsd::use(g_cupsd.port);
  setenv("LC_ALL", "C", 1);
  // The doctor's python3 is Debian's, as on a till (not a wrapper that
  // takes a second to start), and imports this build's q48 and libraries.
  setenv("PATH", ("/usr/bin:" + std::string(getenv("PATH"))).c_str(), 1);
  setenv("PYTHONPATH", Q48_SOURCE_DIR "/python", 1);
  setenv("Q48_BUILD_DIR", Q48_BUILD_DIR, 1);
  setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 0);
  // The healthy set-up: a queue by serial with the recommended policy.
  int status = q48test::run_program(
                   {"/usr/sbin/lpadmin", "-p", "receipt", "-E", "-v", "q48://usb?serial=Q48EMU0001",
                    "-P", Q48_SOURCE_DIR "/cups/q48.ppd", "-o", "printer-error-policy=abort-job"})
                   .exit_status;
  if (g_cupsd.port == 0 || status != 0) {
    std::fputs("the private cupsd did not come up\n", stderr);
  } else {
    status = RUN_ALL_TESTS();
  }
  q48cupsd::stop(g_cupsd);
  q48test::run_program({"/bin/rm", "-rf", g_root});
  return status;
}
