// q48-send: sends coded command text to a Q48 printer and optionally shows
// its answer.
//
//   q48-send [--timeout MS] [--read N] PATH [CODED TEXT...]
//
// Options may stand anywhere, as with GNU tools; "--" ends them, so a text
// that starts with '-' can follow it. The text comes from the arguments
// (joined by blanks) or, when there are none, from standard input. Exit
// codes: 0 done, 1 the printer failed us, 2 the command line is wrong.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "Q48_Api.h"
#include "Q48_Tb.h"
#include "q48_args.h"
#include "q48_byte_buffer.h"
#include "q48_open_codes.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kGoOn = -1; // no outcome yet: the next step may run
constexpr unsigned long kDefaultTimeoutMs = 2000;
// One answer fits the USB receive ring, which holds at most 1023 bytes.
constexpr long kMaxRead = 1023;

const char kUsage[] =
    "usage: q48-send [--timeout MS] [--read N] [--] PATH [CODED TEXT...]\n"
    "Sends coded command text to the Q48 printer at PATH.\n"
    "\n"
    "PATH is /dev/bus/usb/BBB/DDD (see q48-list), /dev/usb/lpN or /dev/ttySN.\n"
    "The text is taken from the arguments, joined by blanks, or from standard\n"
    "input when there are none: [1B 40] is hexadecimal, \"Hi\" a quoted run,\n"
    "\\n \\r \\t \\b \\f escapes, // starts a comment.\n"
    "\n"
    "options:\n"
    "  --timeout MS   time allowed for the write, and again for the read (default 2000)\n"
    "  --read N       then read N answer bytes (1 to 1023) and print them as [06 1B]\n"
    "  -h, --help     this text\n"
    "  --             ends the options: what follows is PATH and text\n"
    "\n"
    "exit status: 0 sent (and answered), 1 open, write or read failed, 2 usage\n";

// The toolbox takes at most INT_MAX bytes of coded text; reading stops soon
// after that, since such a text cannot be sent whole anyway.
constexpr std::size_t kMaxText = INT_MAX;

// A file on standard input that is too long already is refused without
// reading gigabytes into memory first.
bool file_too_long(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<unsigned long long>(st.st_size) > kMaxText;
}

// Owns what a run holds, so every way out releases it in one place.
struct session {
  intptr_t printer = Q48_API_NO_PRINTER;
  int command = 0;
  int answer = 0;
  char *path = nullptr;
  session() = default;
  session(const session &) = delete;
  session &operator=(const session &) = delete;
  ~session() {
    Q48_api_printer_close(printer);
    Q48_tb_cmd_exit(command);
    Q48_tb_cmd_exit(answer);
    std::free(path);
  }
};

struct options {
  unsigned long timeout_ms = kDefaultTimeoutMs;
  long read_count = 0;
  const char *path = nullptr;
  int text_at = 0;  // first argument of the coded text
  int text_end = 0; // one past its last; equal to text_at when none
};

// Returns kGoOn with *opt filled, or the exit status to end with. Options
// are taken wherever they stand; the other arguments, PATH first, are moved
// to the end of argv in their order, from opt->text_at - 1 on.
int parse_options(int argc, char **argv, options *opt) {
  int status = kGoOn;
  int operands = 0;
  bool options_ended = false;
  for (int i = 1; i < argc && status == kGoOn; i++) {
    const char *a = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    if (options_ended || a[0] != '-' || a[1] == '\0') {
      argv[1 + operands++] = argv[i];
    } else if (std::strcmp(a, "--") == 0) {
      options_ended = true;
    } else if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
      (void)std::fputs(kUsage, stdout);
      status = kExitOk;
    } else if (std::strcmp(a, "--timeout") == 0 && value != nullptr &&
               q48args::parse_count(value, 0, 24L * 3600 * 1000, &n)) {
      opt->timeout_ms = static_cast<unsigned long>(n);
      i++;
    } else if (std::strcmp(a, "--read") == 0 && value != nullptr &&
               q48args::parse_count(value, 1, kMaxRead, &n)) {
      opt->read_count = n;
      i++;
    } else {
      (void)std::fprintf(stderr, "q48-send: bad option or value: %s\n", a);
      status = kExitUsage;
    }
  }
  if (status == kGoOn && operands == 0) {
    (void)std::fputs("q48-send: no printer path given\n", stderr);
    status = kExitUsage;
  }
  if (status == kExitUsage) {
    (void)std::fputs(kUsage, stderr);
  }
  if (status == kGoOn) {
    opt->path = argv[1];
    opt->text_at = 2;
    opt->text_end = 1 + operands;
  }
  return status;
}

// Each step runs only while the ones before it went well; status says how
// the first one that did not ended.
int run(char **argv, const options &opt) {
  int status = kGoOn;
  session s;
  q48::byte_buffer text;
  bool ok = true;
  bool too_long = false;
  if (opt.text_at < opt.text_end) {
    for (int i = opt.text_at; ok && i < opt.text_end; i++) {
      ok = (i == opt.text_at || text.append(" ", 1)) && text.append(argv[i], std::strlen(argv[i]));
    }
  } else if (file_too_long(STDIN_FILENO)) {
    too_long = true;
  } else if (!text.read_fd(STDIN_FILENO, kMaxText)) {
    (void)std::fprintf(stderr, "q48-send: cannot read the coded text from standard input: %s\n",
                       std::strerror(errno));
    status = kExitFailure;
  }
  if (!ok) {
    (void)std::fputs("q48-send: out of memory\n", stderr);
    status = kExitFailure;
  }

  unsigned char *raw = nullptr;
  unsigned int raw_size = 0;
  if (status == kGoOn && (text.size > 0 || too_long)) {
    // Above the limit the size would be cut to 32 bits, and only a part of
    // the text sent as if it were all of it.
    s.command = !too_long && text.size <= kMaxText
                    ? Q48_tb_cmd_init_coded(text.data, static_cast<unsigned int>(text.size))
                    : 0;
    if (s.command == 0 || Q48_tb_cmd_get_raw(s.command, &raw, &raw_size) == 0) {
      (void)std::fputs("q48-send: cannot convert the coded text (too long, or out of memory)\n",
                       stderr);
      status = kExitFailure;
    }
  }
  if (status == kGoOn && raw_size == 0 && opt.read_count == 0) {
    (void)std::fputs("q48-send: the coded text holds no bytes to send\n", stderr);
    status = kExitUsage;
  }

  if (status == kGoOn) {
    // Open cuts a USB path into tokens in place; messages keep it as typed.
    s.path = strdup(opt.path);
    s.printer = s.path != nullptr ? Q48_api_printer_open(s.path) : Q48_API_NO_MEMORY;
    if (s.printer < 0) {
      (void)std::fprintf(stderr, "q48-send: cannot open %s: %s (code %ld)\n", opt.path,
                         q48::open_meaning(s.printer), static_cast<long>(s.printer));
      status = kExitFailure;
    }
  }

  if (status == kGoOn && raw_size > 0) {
    const int sent =
        Q48_api_printer_write(s.printer, raw, static_cast<int>(raw_size), opt.timeout_ms);
    if (sent != static_cast<int>(raw_size)) {
      (void)std::fprintf(stderr, "q48-send: %s: sent %d of %u bytes within %lu ms\n", opt.path,
                         sent, raw_size, opt.timeout_ms);
      status = kExitFailure;
    }
  }

  if (status == kGoOn && opt.read_count > 0) {
    unsigned char answer[kMaxRead];
    const int want = static_cast<int>(opt.read_count);
    const int got = Q48_api_printer_read(s.printer, answer, want, opt.timeout_ms);
    char *shown = nullptr;
    if (got > 0) {
      s.answer = Q48_tb_cmd_init_raw(answer, static_cast<unsigned int>(got));
      if (s.answer != 0 && Q48_tb_cmd_get_coded_str(s.answer, &shown) != 0) {
        std::printf("%s\n", shown); // a failed write is seen by the flush in main
      }
    }
    if (got != want) {
      // USB reads hand over all or nothing; a device file may bring part.
      (void)std::fprintf(stderr, "q48-send: %s: received %d of %d answer bytes within %lu ms\n",
                         opt.path, got < 0 ? 0 : got, want, opt.timeout_ms);
      status = kExitFailure;
    } else if (shown == nullptr) {
      (void)std::fputs("q48-send: out of memory\n", stderr);
      status = kExitFailure;
    }
  }
  return status == kGoOn ? kExitOk : status;
}

} // namespace

int main(int argc, char **argv) {
  options opt;
  int status = parse_options(argc, argv, &opt);
  if (status == kGoOn) {
    status = run(argv, opt);
  }
  // The answer is the result: one that cannot be written is a failure. The
  // stream's error flag also keeps a failure of an earlier, unbuffered write.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && status == kExitOk) {
    (void)std::fputs("q48-send: cannot write to standard output\n", stderr);
    status = kExitFailure;
  }
  return status;
}
