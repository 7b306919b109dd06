// q48: the CUPS backend of the Q48 printer, built on libQ48Api.
//
//   q48                                           list the attached printers
//   q48 job-id user title copies options [file]   print one job to DEVICE_URI
//
// URIs: q48://usb?serial=S (looked up at each job, because the USB address
// changes at every replug), or q48:PATH with any path Q48_api_printer_open
// takes (/dev/bus/usb/BBB/DDD, /dev/usb/lpN, /dev/ttySN).
//
// The job goes out in chunks, each with a short time-out, so that a long job
// needs no huge one, a cancel is seen within one chunk, and a printer that
// stops taking data is noticed while the count sent is still known exactly.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cups/backend.h>
#include <libusb.h>

#include "Q48_Api.h"
#include "q48_args.h"
#include "q48_channels.h"
#include "q48_open_codes.h"
#include "q48_printers.h"

namespace {

constexpr int kChunk = 4096;
// Short enough that a cancel lands within a second even while the printer
// holds a transfer back (USB may overrun a write by about 110 ms).
constexpr unsigned long kChunkTimeoutMs = 400;
// A printer that takes nothing for this long has failed the job: paper out
// or a jam clears within it, a dead printer does not.
constexpr long kStallLimitMs = 60000;
constexpr unsigned kAbsentRetrySeconds = 5;
constexpr unsigned kBusyRetrySeconds = 2;
// The back channel costs one IN transfer (up to 100 ms) when the printer is
// silent, so it is asked at most this often, and first this long after the
// job began.
constexpr long kBackChannelPeriodMs = 1000;
// communication's values: no transport chosen yet, and USB.
constexpr int kNoTransport = 0;
constexpr int kUsbTransport = 2;
// How long a job of a class waits before it is handed to the next printer.
constexpr unsigned kClassPauseSeconds = 5;
// What one forward passes on at most; more waits for the next.
constexpr int kBackChannelChunk = 1024;

volatile sig_atomic_t g_cancelled = 0;

void on_sigterm(int) { g_cancelled = 1; }

long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Sleeps for up to seconds, waking early on a cancel.
void pause_unless_cancelled(unsigned seconds) {
  for (unsigned tenth = 0; tenth < seconds * 10 && g_cancelled == 0; tenth++) {
    usleep(100000);
  }
}

// Unicode's invisible format characters. Shown in lpinfo or the web
// interface, they let a device's string pass for another: bidirectional
// overrides, embeddings, isolates and marks (U+061C, U+200E-200F,
// U+202A-202E, U+2066-2069) reorder what follows, so "Q48\u202E1000" reads
// as Q480001; zero-width ones (soft hyphen, U+180E, U+200B-200D, U+2060-2064,
// U+FEFF, tags) draw nothing, so two serials that differ by one look alike,
// and so do the deprecated shaping controls U+206A-206F and the annotation
// marks U+FFF9-FFFB; the separators U+2028-2029 end a line where a reader
// honours them. None belongs in a serial number or a maker's name.
struct code_range {
  unsigned first;
  unsigned last;
};
constexpr code_range kInvisible[] = {{0x00AD, 0x00AD}, {0x061C, 0x061C}, {0x180E, 0x180E},
                                     {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x206F},
                                     {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xE0000, 0xE007F}};

bool invisible(unsigned cp) {
  return std::any_of(std::begin(kInvisible), std::end(kInvisible), [cp](const code_range &range) {
    return cp >= range.first && cp <= range.last;
  });
}

// Copies a sysfs string into a quoted field of the listing. The device wrote
// it, so it gets no say in the listing's shape: bytes that are not UTF-8,
// control characters (ESC, BEL, DEL, line ends, C1) and invisible format
// characters are dropped, '"' and '\' become '_', and so do ';' and ':' in a
// device ID value, where they would add keys of their own (CMD, MDL), which
// CUPS picks drivers by.
void clean_field(const char *text, char *out, std::size_t cap, bool id_value) {
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  std::size_t at = 0;
  while (*s != '\0') {
    const unsigned lead = *s;
    const int len = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    unsigned cp = len == 1 ? lead : lead & (0x7Fu >> len);
    bool valid = len > 0;
    for (int i = 1; valid && i < len; i++) {
      valid = (s[i] & 0xC0) == 0x80;
      cp = cp << 6 | (s[i] & 0x3Fu);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not UTF-8.
    valid = valid && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) &&
            !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
    if (!valid) {
      s++; // the stray byte alone; what follows is looked at afresh
      continue;
    }
    const bool control = cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || invisible(cp);
    if (!control) {
      if (at + static_cast<std::size_t>(len) >= cap) {
        break;
      }
      if (cp == '"' || cp == '\\' || (id_value && (cp == ';' || cp == ':'))) {
        out[at++] = '_';
      } else {
        std::memcpy(out + at, s, static_cast<std::size_t>(len));
        at += static_cast<std::size_t>(len);
      }
    }
    s += len;
  }
  out[at] = '\0';
}

// The IEEE 1284 device ID as the kernel's strings give it; the printer's own
// answer needs its interface, which listing must not claim.
void listed_device_id(const q48::printer &p, char *id, std::size_t cap) {
  char mfg[128];
  char mdl[128];
  char sn[q48::kSerialSize];
  clean_field(p.manufacturer[0] != '\0' ? p.manufacturer : "Mirelvank", mfg, sizeof mfg, true);
  clean_field(p.product[0] != '\0' ? p.product : "Q48", mdl, sizeof mdl, true);
  clean_field(p.serial, sn, sizeof sn, true);
  (void)std::snprintf(id, cap, "MFG:%s;MDL:%s;CMD:ESC/POS;CLS:PRINT;%s%s%s", mfg, mdl,
                      sn[0] != '\0' ? "SN:" : "", sn, sn[0] != '\0' ? ";" : "");
}

int list_printers() {
  q48::printer_list printers;
  (void)q48::find_printers(printers);
  bool written = true;
  for (const q48::printer &p : printers) {
    static char uri[q48::kUriSize];
    char mfg[128];
    char mdl[128];
    char id[128 + 128 + q48::kSerialSize + 64]; // every field fits whole
    q48::printer_uri(p, uri, sizeof uri);
    clean_field(p.manufacturer[0] != '\0' ? p.manufacturer : "Mirelvank", mfg, sizeof mfg, false);
    clean_field(p.product[0] != '\0' ? p.product : "Q48", mdl, sizeof mdl, false);
    listed_device_id(p, id, sizeof id);
    written = std::printf("direct %s \"%s %s\" \"Q48 receipt printer (USB %03d/%03d)\" \"%s\"\n",
                          uri, mfg, mdl, p.bus, p.address, id) >= 0 &&
              written;
  }
  // The lines are what cupsd learns the printers from: a list cut short by
  // a failed write must not pass for a whole one.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !written) {
    (void)std::fputs("ERROR: Cannot write the list of printers\n", stderr);
    return CUPS_BACKEND_FAILED;
  }
  return CUPS_BACKEND_OK;
}

// Where the printer of a URI is right now: false (with *known set when the
// URI is one of ours) when it cannot be found.
bool resolve(const char *uri, char *path, std::size_t cap, bool *known) {
  static char serial[q48::kSerialSize];
  *known = true;
  if (q48::uri_serial(uri, serial, sizeof serial)) {
    q48::printer_list printers;
    const q48::printer *p =
        q48::find_printers(printers) ? q48::find_serial(printers, serial) : nullptr;
    if (p != nullptr) {
      (void)std::snprintf(path, cap, "%s", p->path); // 32 bytes at most
    }
    return p != nullptr;
  }
  // A path too long for the buffer would be cut to another one.
  if (std::strncmp(uri, "q48:/", 5) == 0 && uri[5] != '/' && std::strlen(uri + 4) < cap) {
    (void)std::snprintf(path, cap, "%s", uri + 4);
    return true;
  }
  *known = false;
  return false;
}

// One job's connection and what the side channel asks about it.
struct job {
  intptr_t printer = Q48_API_NO_PRINTER;
  bool by_serial = false; // q48://usb?serial=S, else q48:PATH
  bool usb = false;
  bool stalled = false;
  char path[512] = "";
  long long sent = 0;
  long last_back_ms = 0;
  job() = default;
  job(const job &) = delete;
  job &operator=(const job &) = delete;
  ~job() { Q48_api_printer_close(printer); }

  // The library's USB handle is the libusb device handle itself.
  libusb_device_handle *usb_handle() const {
    if (!usb || printer < 0) {
      return nullptr;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the integer handle is that pointer
    return reinterpret_cast<libusb_device_handle *>(printer);
  }
};

// Asks the printer for its device ID over the job's own claim. Returns the
// ID's length (0 when it gave none).
int printer_device_id(const job &j, char *id, int cap) {
  libusb_device_handle *h = j.usb_handle();
  unsigned char buf[1024];
  int n = 0;
  if (h != nullptr) {
    const auto index = static_cast<uint16_t>(Q48_API_INTERFACE << 8);
    n = libusb_control_transfer(h, 0xA1, 0 /* GET_DEVICE_ID */, 0, index, buf, sizeof buf, 1000);
  }
  int len = n >= 2 ? ((buf[0] << 8) | buf[1]) - 2 : 0;
  if (len < 0 || len > n - 2) {
    len = n > 2 ? n - 2 : 0;
  }
  len = len < cap - 1 ? len : cap - 1;
  std::memcpy(id, buf + 2, static_cast<std::size_t>(len > 0 ? len : 0));
  id[len > 0 ? len : 0] = '\0';
  return len > 0 ? len : 0;
}

// True when the printer is gone: a USB device answers no request any more, a
// device file has left the file system.
bool printer_gone(const job &j) {
  if (libusb_device_handle *h = j.usb_handle()) {
    unsigned char status[2];
    return libusb_control_transfer(h, 0x80, 0 /* GET_STATUS */, 0, 0, status, 2, 500) ==
           LIBUSB_ERROR_NO_DEVICE;
  }
  struct stat st {};
  return stat(j.path, &st) != 0;
}

// Forwards what the printer has answered to the back channel. USB only: a
// read on a device file could take bytes that are not the printer's (a
// line-printer FIFO hands back what we wrote to it). Asking the printer is
// one IN transfer, which waits up to 100 ms when it has nothing to say: it
// is done once a period while a job runs, never for a job shorter than
// that, and not at its end. Otherwise only what already waits in the
// receive ring goes on, which costs no transfer.
void forward_back_channel(job &j, bool ask_printer) {
  if (!j.usb || j.printer < 0) {
    return;
  }
  ask_printer = ask_printer && now_ms() - j.last_back_ms >= kBackChannelPeriodMs;
  // The ring is empty when its two indices meet; a read that the ring can
  // meet makes no transfer.
  if (!ask_printer && m_index_rx_top == m_index_rx_bottom) {
    return;
  }
  if (ask_printer) {
    j.last_back_ms = now_ms();
  }
  unsigned char buf[kBackChannelChunk];
  int n = 0;
  while (n < kBackChannelChunk && (n == 0 || m_index_rx_top != m_index_rx_bottom) &&
         Q48_api_printer_read(j.printer, buf + n, 1, 0) == 1) {
    n++;
  }
  if (n > 0) {
    (void)q48::back_channel_write(buf, static_cast<std::size_t>(n), 1000);
    (void)std::fprintf(stderr, "DEBUG: forwarded %d answer bytes to the back channel\n", n);
  }
}

// Answers one side-channel request, if one is waiting.
void serve_side_channel(job &j) {
  static q48::side_request request;
  if (!q48::side_channel_read(request)) {
    return;
  }
  cups_sc_status_t status = CUPS_SC_STATUS_OK;
  char data[2048];
  int len = 0;
  switch (request.command) {
  case CUPS_SC_CMD_GET_CONNECTED:
    data[0] = j.printer >= 0 ? 1 : 0;
    len = 1;
    break;
  case CUPS_SC_CMD_GET_STATE:
    data[0] = static_cast<char>(j.printer < 0 ? CUPS_SC_STATE_OFFLINE
                                : j.stalled   ? CUPS_SC_STATE_BUSY
                                              : CUPS_SC_STATE_ONLINE);
    len = 1;
    break;
  case CUPS_SC_CMD_GET_DEVICE_ID:
    len = printer_device_id(j, data, sizeof data);
    if (len == 0) {
      status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
    }
    break;
  case CUPS_SC_CMD_DRAIN_OUTPUT:
    // Every write returns once the printer has the bytes: nothing waits here.
    break;
  case CUPS_SC_CMD_SOFT_RESET:
    if (j.printer < 0 || Q48_api_printer_clear(j.printer) != 1) {
      status = CUPS_SC_STATUS_IO_ERROR;
    }
    break;
  default:
    status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
    break;
  }
  (void)q48::side_channel_write(request.command, status, reinterpret_cast<unsigned char *>(data),
                                static_cast<std::size_t>(len));
}

// A job sent to a class goes to the next printer of the class rather than
// wait for this one: said so, and after a pause that keeps the job from
// bouncing between absent printers, the exit status that makes cupsd
// requeue it.
int leave_for_class(const char *why) {
  (void)std::fprintf(stderr, "INFO: %s; queuing the job on the next printer of class %s\n", why,
                     std::getenv("CLASS"));
  pause_unless_cancelled(kClassPauseSeconds);
  return CUPS_BACKEND_FAILED;
}

// A device file that is no character device is no printer: a regular file
// at a line-printer path would be overwritten with the job, by lp.
bool character_device(const struct stat &st) { return S_ISCHR(st.st_mode); }

// Opens the printer, waiting while it is absent or in another program's
// hands. Returns CUPS_BACKEND_OK once open, else the exit status.
int open_printer(job &j, const char *uri) {
  const bool in_class = std::getenv("CLASS") != nullptr;
  j.by_serial = std::strncmp(uri, "q48://", 6) == 0;
  bool said_absent = false;
  bool said_busy = false;
  while (g_cancelled == 0) {
    bool known = false;
    const bool found = resolve(uri, j.path, sizeof j.path, &known);
    if (!found && !known) {
      (void)std::fprintf(stderr, "ERROR: not a q48 URI: %s\n", uri);
      return CUPS_BACKEND_STOP;
    }
    if (!found) {
      if (in_class) {
        return leave_for_class("The printer is not plugged in");
      }
      if (!said_absent) {
        (void)std::fputs("STATE: +offline-report\n", stderr);
        (void)std::fprintf(stderr, "INFO: Waiting for the printer to be plugged in (%s)\n", uri);
        said_absent = true;
      }
      serve_side_channel(j);
      pause_unless_cancelled(kAbsentRetrySeconds);
      continue;
    }
    struct stat st {};
    if (!j.by_serial && stat(j.path, &st) == 0 && !character_device(st)) {
      (void)std::fprintf(stderr, "ERROR: %s is not a printer device; a q48: URI names one\n",
                         j.path);
      return CUPS_BACKEND_STOP;
    }
    if (access(j.path, F_OK) == 0 && access(j.path, R_OK | W_OK) != 0) {
      (void)std::fprintf(stderr,
                         "ERROR: No permission to use %s (%s); see the udev rule of libq48-1\n",
                         j.path, std::strerror(errno));
      return CUPS_BACKEND_STOP;
    }
    char copy[512];
    (void)std::snprintf(copy, sizeof copy, "%s", j.path); // open cuts a USB path into tokens
    j.printer = Q48_api_printer_open(copy);
    if (j.printer >= 0) {
      // The library chose the transport from the path; it alone knows.
      j.usb = communication == kUsbTransport;
      j.last_back_ms = now_ms(); // the printer is first asked a period from now
      // What was opened is checked, not only what the path showed before.
      if (!j.usb && (fstat(static_cast<int>(j.printer), &st) != 0 || !character_device(st))) {
        (void)std::fprintf(stderr, "ERROR: %s is not a printer device; a q48: URI names one\n",
                           j.path);
        return CUPS_BACKEND_STOP;
      }
      break;
    }
    if (communication == kNoTransport) {
      (void)std::fprintf(stderr,
                         "ERROR: %s is no path of a Q48 printer (/dev/bus/usb/BBB/DDD, "
                         "/dev/usb/lpN or /dev/ttySN)\n",
                         j.path);
      return CUPS_BACKEND_STOP;
    }
    if (j.printer == Q48_API_CLAIM_TIMEOUT) {
      if (in_class) {
        return leave_for_class("The printer is in use by another program");
      }
      if (!said_busy) {
        (void)std::fputs("STATE: +connecting-to-device\n", stderr);
        said_busy = true;
      }
      (void)std::fprintf(stderr,
                         "INFO: The printer is in use by another program; trying again in %u s\n",
                         kBusyRetrySeconds);
      serve_side_channel(j);
      pause_unless_cancelled(kBusyRetrySeconds);
    } else if (j.printer == Q48_API_OPEN_FAILED || j.printer == Q48_API_NO_PRINTER) {
      // Gone between the lookup and the open, or not there yet.
      if (in_class) {
        return leave_for_class("The printer is not there");
      }
      if (!said_absent) {
        (void)std::fputs("STATE: +offline-report\n", stderr);
        (void)std::fprintf(stderr, "INFO: Waiting for the printer at %s (%s)\n", j.path,
                           q48::open_meaning(j.printer));
        said_absent = true;
      }
      pause_unless_cancelled(kAbsentRetrySeconds);
    } else {
      (void)std::fprintf(stderr, "ERROR: Cannot open the printer at %s: %s (code %ld)\n", j.path,
                         q48::open_meaning(j.printer), static_cast<long>(j.printer));
      return CUPS_BACKEND_FAILED;
    }
  }
  if (said_absent) {
    (void)std::fputs("STATE: -offline-report\n", stderr);
  }
  if (said_busy) {
    (void)std::fputs("STATE: -connecting-to-device\n", stderr);
  }
  if (g_cancelled != 0) {
    return CUPS_BACKEND_OK;
  }
  (void)std::fprintf(stderr, "INFO: Connected to the printer at %s\n", j.path);
  return CUPS_BACKEND_OK;
}

// Sends n bytes, each byte once. Returns CUPS_BACKEND_OK, or the exit status
// after an ERROR: line.
int send_bytes(job &j, unsigned char *data, int n) {
  int off = 0;
  long stall_start = 0;
  while (off < n && g_cancelled == 0) {
    const int sent = Q48_api_printer_write(j.printer, data + off, n - off, kChunkTimeoutMs);
    off += sent;
    j.sent += sent;
    if (sent > 0) {
      stall_start = 0;
      if (j.stalled) {
        (void)std::fputs("STATE: -offline-report\nINFO: The printer takes data again\n", stderr);
        j.stalled = false;
      }
    }
    if (off < n) {
      if (printer_gone(j)) {
        (void)std::fprintf(stderr, "ERROR: The printer went away after %lld bytes of the job\n",
                           j.sent);
        return CUPS_BACKEND_FAILED;
      }
      if (stall_start == 0) {
        stall_start = now_ms();
      } else if (!j.stalled) {
        (void)std::fputs("STATE: +offline-report\nINFO: The printer does not take data\n", stderr);
        j.stalled = true;
      } else if (now_ms() - stall_start > kStallLimitMs) {
        (void)std::fprintf(
            stderr, "ERROR: The printer took no data for %ld s, after %lld bytes of the job\n",
            kStallLimitMs / 1000, j.sent);
        return CUPS_BACKEND_FAILED;
      }
    }
    serve_side_channel(j);
    forward_back_channel(j, true);
  }
  return CUPS_BACKEND_OK;
}

// CUPS's copies argument: a whole number from 1 up.
bool parse_copies(const char *text, int *copies) {
  long n = 0;
  const bool ok = q48args::parse_count(text, 1, INT_MAX, &n);
  if (ok) {
    *copies = static_cast<int>(n);
  }
  return ok;
}

int print_job(int argc, char **argv) {
  const char *uri = q48::device_uri(argv);
  if (uri == nullptr) {
    (void)std::fputs("ERROR: No device URI given\n", stderr);
    return CUPS_BACKEND_FAILED;
  }
  int input = 0;
  int copies = 1;
  if (argc == 7) {
    if (!parse_copies(argv[4], &copies)) {
      (void)std::fprintf(stderr, "ERROR: Bad number of copies: %s\n", argv[4]);
      return CUPS_BACKEND_FAILED;
    }
    input = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      (void)std::fprintf(stderr, "ERROR: Cannot open the print file %s: %s\n", argv[6],
                         std::strerror(errno));
      return CUPS_BACKEND_FAILED;
    }
  }
  job j;
  int status = open_printer(j, uri);
  if (status != CUPS_BACKEND_OK || g_cancelled != 0) {
    if (input > 0) {
      close(input);
    }
    return status;
  }
  if (input == 0) {
    // A filter feeds this job and is told of a cancel too: let it finish
    // what it is writing, so that the printer never gets half a command.
    // Until now nothing was sent, so a cancel could still end the wait.
    (void)std::signal(SIGTERM, SIG_IGN);
  }

  static unsigned char chunk[kChunk];
  for (int copy = 1; copy <= copies && status == CUPS_BACKEND_OK && g_cancelled == 0; copy++) {
    if (copy > 1 && lseek(input, 0, SEEK_SET) != 0) {
      (void)std::fprintf(stderr, "ERROR: Cannot rewind the print file: %s\n", std::strerror(errno));
      status = CUPS_BACKEND_FAILED;
      break;
    }
    ssize_t got = 0;
    while (status == CUPS_BACKEND_OK && g_cancelled == 0 &&
           ((got = read(input, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))) {
      if (got > 0) {
        status = send_bytes(j, chunk, static_cast<int>(got));
        (void)std::fprintf(stderr, "DEBUG: %lld bytes sent\n", j.sent);
      }
    }
    // A cancel that interrupts the read is no error of the job's.
    if (got < 0 && status == CUPS_BACKEND_OK && g_cancelled == 0) {
      (void)std::fprintf(stderr, "ERROR: Cannot read the job: %s\n", std::strerror(errno));
      status = CUPS_BACKEND_FAILED;
    }
    if (status == CUPS_BACKEND_OK && g_cancelled == 0) {
      (void)std::fprintf(stderr, "PAGE: %d 1\n", copy);
    }
  }
  if (input > 0) {
    close(input);
  }
  if (g_cancelled != 0) {
    (void)std::fprintf(stderr, "INFO: Job cancelled after %lld bytes\n", j.sent);
    return CUPS_BACKEND_OK;
  }
  if (status == CUPS_BACKEND_OK) {
    forward_back_channel(j, false);
    (void)std::fprintf(stderr, "INFO: Sent %lld bytes\n", j.sent);
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  // Messages must reach cupsd line by line, as they happen. stderr is
  // unbuffered already, so a failure here changes nothing.
  (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
  struct sigaction sa {};
  sa.sa_handler = on_sigterm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  (void)std::signal(SIGPIPE, SIG_IGN); // fails only for a bad signal number

  if (argc == 1) {
    return list_printers();
  }
  if (argc < 6 || argc > 7) {
    (void)std::fputs("Usage: q48 job-id user title copies options [file]\n", stderr);
    return CUPS_BACKEND_FAILED;
  }
  return print_job(argc, argv);
}
