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
// That count is what lets a job outlive its printer's faults: a printer that
// stops taking data is waited for, and the printer of a serial URI that goes
// away in the middle of a job gets the rest of it, from its next byte, when
// it is back.
//
// While it waits for its input or its printer, the backend answers cupsd's
// side channel and forwards the printer's answers to the back channel.

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
#include "q48_clock.h"
#include "q48_open_codes.h"
#include "q48_printers.h"
#include "q48_text.h"

namespace {

constexpr int kChunk = 4096;
// Short enough that a cancel lands within a second even while the printer
// holds a transfer back (USB may overrun a write by about 110 ms).
constexpr unsigned long kChunkTimeoutMs = 400;
// How often an absent printer is looked for: a sysfs listing costs well
// under a millisecond, and a job should resume within a second of its
// printer's return.
constexpr int kLookPeriodMs = 250;
constexpr int kBusyRetryMs = 2000;
// udev gives a new node its group and mode a moment after it appears.
constexpr long kNewNodeGraceMs = 3000;
// The back channel costs one IN transfer (up to 100 ms) when the printer is
// silent, so it is asked at most this often, and first this long after the
// job began.
constexpr long kBackChannelPeriodMs = 1000;
// libcups's own bound on a channel write.
constexpr int kChannelTimeoutMs = 1000;
// communication's values: no transport chosen yet, and USB.
constexpr int kNoTransport = 0;
constexpr int kUsbTransport = 2;
// How long a job of a class waits before it is handed to the next printer.
constexpr int kClassPauseSeconds = 5;
// What one forward passes on at most; more waits for the next.
constexpr int kBackChannelChunk = 1024;

volatile sig_atomic_t g_cancelled = 0;

void on_sigterm(int) { g_cancelled = 1; }

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
    unsigned cp = 0;
    const int len = q48::utf8_sequence(s, &cp);
    if (len == 0) {
      s++; // the stray byte alone; what follows is looked at afresh
      continue;
    }
    const bool control = q48::hidden(cp);
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
// URI is one of ours) when it cannot be found. A printer found by its serial
// is copied to *found.
bool resolve(const char *uri, char *path, std::size_t cap, bool *known, q48::printer *found) {
  static char serial[q48::kSerialSize];
  *known = true;
  if (q48::uri_serial(uri, serial, sizeof serial)) {
    q48::printer_list printers;
    const q48::printer *p =
        q48::find_printers(printers) ? q48::find_serial(printers, serial) : nullptr;
    if (p != nullptr) {
      (void)std::snprintf(path, cap, "%s", p->path); // 32 bytes at most
      *found = *p;
    }
    return p != nullptr;
  }
  // A path too long for the buffer would be cut to another one.
  const char *node = q48::uri_path(uri);
  if (node != nullptr && std::strlen(node) < cap) {
    (void)std::snprintf(path, cap, "%s", node);
    return true;
  }
  *known = false;
  return false;
}

// One job: its input, what of it waits to go, and its printer's connection.
struct job {
  const char *uri = nullptr;
  bool by_serial = false;  // q48://usb?serial=S, else q48:PATH
  bool in_class = false;   // CLASS is set: another printer may take the job
  bool from_stdin = false; // a filter feeds the job on standard input
  int input = 0;
  intptr_t printer = Q48_API_NO_PRINTER;
  bool usb = false;
  char path[512] = "";
  q48::printer found; // the printer of a serial URI, as the last lookup found it
  long long sent = 0; // bytes of the job the printer took, over all copies
  // What was read of the job and has not reached the printer: buf[off, have).
  unsigned char buf[kChunk] = {};
  int off = 0;
  int have = 0;
  bool began = false;   // the printer was open: bytes of the job may be out
  bool cut = false;     // the printer left in the middle; the rest waits for it
  bool stalled = false; // the printer is there but takes nothing
  long stall_since = 0;
  long last_back_ms = 0;
  int drains = 0; // drain requests that wait for the bytes before them
  bool side_open = true;
  job() = default;
  job(const job &) = delete;
  job &operator=(const job &) = delete;
  ~job() {
    Q48_api_printer_close(printer);
    if (input > 0) {
      close(input);
    }
  }

  // The library's USB handle is the libusb device handle itself.
  libusb_device_handle *usb_handle() const {
    if (!usb || printer < 0) {
      return nullptr;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the integer handle is that pointer
    return reinterpret_cast<libusb_device_handle *>(printer);
  }
};

// Whether a cancel ends the job now. A filter that feeds the job is told of
// a cancel too, and finishes what it is writing: while the printer takes
// such a job, it is sent to the end of its input, so that the printer never
// gets half a command. A wait for the printer ends on a cancel whatever
// feeds the job.
bool cancel_ends(const job &j) {
  const bool waiting = j.printer < 0 || j.stalled;
  return g_cancelled != 0 && (!j.from_stdin || !j.began || waiting);
}

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
//
// The ring's indices are the library's exported state, and it states that
// the ring is empty when they meet: reading them here saves a transfer on a
// silent printer at the end of every job.
void forward_back_channel(job &j, bool ask_printer) {
  if (!j.usb || j.printer < 0) {
    return;
  }
  ask_printer = ask_printer && q48::now_ms() - j.last_back_ms >= kBackChannelPeriodMs;
  if (!ask_printer && m_index_rx_top == m_index_rx_bottom) {
    return;
  }
  if (ask_printer) {
    j.last_back_ms = q48::now_ms();
  }
  unsigned char buf[kBackChannelChunk];
  int n = 0;
  while (n < kBackChannelChunk && (n == 0 || m_index_rx_top != m_index_rx_bottom) &&
         Q48_api_printer_read(j.printer, buf + n, 1, 0) == 1) {
    n++;
  }
  if (n > 0) {
    (void)q48::back_channel_write(buf, static_cast<std::size_t>(n), kChannelTimeoutMs);
    (void)std::fprintf(stderr, "DEBUG: forwarded %d answer bytes to the back channel\n", n);
  }
}

// When the printer is next due to be asked for answers, in ms from now; -1
// when it is not asked (no USB printer open).
int back_channel_due(const job &j) {
  if (!j.usb || j.printer < 0) {
    return -1;
  }
  const long left = kBackChannelPeriodMs - (q48::now_ms() - j.last_back_ms);
  return left > 0 ? static_cast<int>(left) : 0;
}

void answer_side_channel(job &j, cups_sc_command_t command, cups_sc_status_t status,
                         const char *data, int len) {
  // An answer that did not go out whole leaves the channel out of step.
  j.side_open = j.side_open && q48::side_channel_write(
                                   command, status, reinterpret_cast<const unsigned char *>(data),
                                   static_cast<std::size_t>(len), kChannelTimeoutMs);
}

// Answers the drain requests that wait, now that the bytes before them are
// out (or never will be).
void answer_drains(job &j, cups_sc_status_t status) {
  for (; j.drains > 0; j.drains--) {
    answer_side_channel(j, CUPS_SC_CMD_DRAIN_OUTPUT, status, nullptr, 0);
  }
}

// Answers one side-channel request, if one is waiting. A drain is answered
// later, once every byte that came before it has reached the printer.
void serve_side_channel(job &j) {
  static q48::side_request request;
  if (!j.side_open) {
    return;
  }
  const q48::side_read got = q48::side_channel_read(request);
  if (got != q48::side_read::request) {
    j.side_open = got != q48::side_read::closed;
    return;
  }
  cups_sc_status_t status = CUPS_SC_STATUS_OK;
  char data[2048];
  int len = 0;
  switch (request.truncated ? CUPS_SC_CMD_NONE : request.command) {
  case CUPS_SC_CMD_NONE:
    status = CUPS_SC_STATUS_TOO_BIG; // declared more than it brought
    break;
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
    j.drains++;
    return;
  case CUPS_SC_CMD_SOFT_RESET:
    if (j.printer < 0 || Q48_api_printer_clear(j.printer) != 1) {
      status = CUPS_SC_STATUS_IO_ERROR;
    }
    break;
  default:
    status = CUPS_SC_STATUS_NOT_IMPLEMENTED;
    break;
  }
  answer_side_channel(j, request.command, status, data, len);
}

// Waits up to ms, answering the side channel meanwhile; a cancel ends it
// early.
void wait_step(job &j, int ms) {
  const long deadline = q48::now_ms() + ms;
  long left = ms;
  while (left > 0 && g_cancelled == 0) {
    pollfd p{j.side_open ? CUPS_SC_FD : -1, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) > 0) {
      serve_side_channel(j);
    }
    left = deadline - q48::now_ms();
  }
}

// A job sent to a class goes to the next printer of the class rather than
// wait for this one: said so, and after a pause that keeps the job from
// bouncing between absent printers, the exit status that makes cupsd
// requeue it.
int leave_for_class(job &j, const char *why) {
  (void)std::fprintf(stderr, "INFO: %s; queuing the job on the next printer of class %s\n", why,
                     std::getenv("CLASS"));
  wait_step(j, kClassPauseSeconds * 1000);
  return CUPS_BACKEND_FAILED;
}

// A device file that is no character device is no printer: a regular file
// at a line-printer path would be overwritten with the job, by lp.
bool character_device(const struct stat &st) { return S_ISCHR(st.st_mode); }

// Connects the job to its printer, waiting while it is absent or in another
// program's hands. Returns CUPS_BACKEND_OK once open (or on a cancel, with
// no printer open), else the exit status.
int connect(job &j) {
  bool said_absent = j.cut; // a cut job said so when its printer left
  bool said_busy = false;
  // A node that has just appeared gets its owner and mode from udev a moment
  // later: a refusal that soon is no verdict yet.
  char first_seen_path[sizeof j.path] = "";
  long first_seen_ms = 0;
  while (!cancel_ends(j)) {
    bool known = false;
    const bool found = resolve(j.uri, j.path, sizeof j.path, &known, &j.found);
    if (!found && !known) {
      (void)std::fprintf(stderr, "ERROR: not a q48 URI: %s\n", j.uri);
      return CUPS_BACKEND_STOP;
    }
    if (!found) {
      if (j.in_class && !j.began) {
        return leave_for_class(j, "The printer is not plugged in");
      }
      if (!said_absent) {
        (void)std::fputs("STATE: +offline-report\n", stderr);
        (void)std::fprintf(stderr, "INFO: Waiting for the printer to be plugged in (%s)\n", j.uri);
        said_absent = true;
      }
      wait_step(j, kLookPeriodMs);
      continue;
    }
    if (std::strcmp(first_seen_path, j.path) != 0) {
      (void)std::snprintf(first_seen_path, sizeof first_seen_path, "%s", j.path);
      first_seen_ms = q48::now_ms();
    }
    struct stat st {};
    if (!j.by_serial && stat(j.path, &st) == 0 && !character_device(st)) {
      (void)std::fprintf(stderr, "ERROR: %s is not a printer device; a q48: URI names one\n",
                         j.path);
      return CUPS_BACKEND_STOP;
    }
    if (access(j.path, F_OK) == 0 && access(j.path, R_OK | W_OK) != 0) {
      if (j.by_serial && q48::now_ms() - first_seen_ms < kNewNodeGraceMs) {
        wait_step(j, kLookPeriodMs);
        continue;
      }
      (void)std::fprintf(stderr,
                         "ERROR: No permission to use %s (%s); see the udev rule of libq48-1\n",
                         j.path, std::strerror(errno));
      return CUPS_BACKEND_STOP;
    }
    char copy[sizeof j.path];
    (void)std::snprintf(copy, sizeof copy, "%s", j.path); // open cuts a USB path into tokens
    j.printer = Q48_api_printer_open(copy);
    if (j.printer >= 0) {
      // The library chose the transport from the path; it alone knows.
      j.usb = communication == kUsbTransport;
      j.last_back_ms = q48::now_ms(); // the printer is first asked a period from now
      // What was opened is checked, not only what the path showed before.
      if (!j.usb && (fstat(static_cast<int>(j.printer), &st) != 0 || !character_device(st))) {
        (void)std::fprintf(stderr, "ERROR: %s is not a printer device; a q48: URI names one\n",
                           j.path);
        return CUPS_BACKEND_STOP;
      }
      // Finding and opening are two steps: a printer that left in between may
      // have given its address to another.
      if (j.by_serial && !q48::still_attached(j.found)) {
        Q48_api_printer_close(j.printer);
        j.printer = Q48_API_NO_PRINTER;
        (void)std::fprintf(stderr, "INFO: Another printer took %s; looking again\n", j.path);
        continue;
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
    // A printer that leaves while it is being opened fails the open at any
    // of its steps; for a serial URI that is an absence like any other.
    const bool left = j.by_serial && !q48::still_attached(j.found);
    if (j.printer == Q48_API_CLAIM_TIMEOUT && !left) {
      if (j.in_class && !j.began) {
        return leave_for_class(j, "The printer is in use by another program");
      }
      if (!said_busy) {
        (void)std::fputs("STATE: +connecting-to-device\n", stderr);
        said_busy = true;
      }
      (void)std::fprintf(stderr,
                         "INFO: The printer is in use by another program; trying again in %d s\n",
                         kBusyRetryMs / 1000);
      wait_step(j, kBusyRetryMs);
    } else if (left || j.printer == Q48_API_OPEN_FAILED || j.printer == Q48_API_NO_PRINTER) {
      // Gone between the lookup and the open, or not there yet.
      if (j.in_class && !j.began) {
        return leave_for_class(j, "The printer is not there");
      }
      if (!said_absent) {
        (void)std::fputs("STATE: +offline-report\n", stderr);
        (void)std::fprintf(stderr, "INFO: Waiting for the printer at %s (%s)\n", j.path,
                           q48::open_meaning(j.printer));
        said_absent = true;
      }
      wait_step(j, kLookPeriodMs);
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
  if (j.printer >= 0) {
    (void)std::fprintf(stderr, "INFO: Connected to the printer at %s\n", j.path);
    if (j.cut) {
      (void)std::fprintf(stderr, "INFO: Sending the rest of the job, from byte %lld\n", j.sent + 1);
    }
    j.began = true;
    j.cut = false;
  }
  return CUPS_BACKEND_OK;
}

// The printer of a serial URI has left in the middle of the job: the job
// keeps what the printer has not taken, and connect() waits for its return.
// A job of a class waits for it too, rather than go to the next printer:
// the head of the receipt is on this printer's paper, and another printer
// could only print the receipt cut in two, or whole a second time.
void printer_left(job &j) {
  Q48_api_printer_close(j.printer);
  j.printer = Q48_API_NO_PRINTER;
  j.cut = true;
  if (!j.stalled) {
    (void)std::fputs("STATE: +offline-report\n", stderr);
  }
  j.stalled = false;
  j.stall_since = 0;
  (void)std::fprintf(stderr,
                     "INFO: The printer went away after %lld bytes of the job; the rest waits "
                     "for it to come back\n",
                     j.sent);
}

// The printer took nothing from a whole chunk: the second time running, it
// is said to have stopped. Paper out, an open cover and a jam all look like
// this, and a person fixes them in their own time, so the job waits for as
// long as it takes, or until it is cancelled.
void note_stall(job &j) {
  if (j.stall_since == 0) {
    j.stall_since = q48::now_ms();
  } else if (!j.stalled) {
    (void)std::fputs("STATE: +offline-report\n", stderr);
    (void)std::fprintf(stderr,
                       "INFO: The printer takes no data (out of paper, or its cover open?) after "
                       "%lld bytes of the job; waiting for it\n",
                       j.sent);
    j.stalled = true;
  }
}

// Sends what waits in the buffer, each byte once. Returns CUPS_BACKEND_OK
// once it is out or the job is cancelled, or the exit status after an ERROR:
// line.
int send_buffer(job &j) {
  while (j.off < j.have && !cancel_ends(j)) {
    if (j.printer < 0) {
      const int status = connect(j);
      if (status != CUPS_BACKEND_OK || j.printer < 0) {
        return status;
      }
    }
    const int sent =
        Q48_api_printer_write(j.printer, j.buf + j.off, j.have - j.off, kChunkTimeoutMs);
    j.off += sent;
    j.sent += sent;
    if (sent > 0) {
      j.stall_since = 0;
      if (j.stalled) {
        (void)std::fputs("STATE: -offline-report\nINFO: The printer takes data again\n", stderr);
        j.stalled = false;
      }
    }
    if (j.off < j.have) {
      if (printer_gone(j)) {
        // A path names a node, not a printer: another one may come back on it.
        if (!j.by_serial) {
          (void)std::fprintf(stderr, "ERROR: The printer went away after %lld bytes of the job\n",
                             j.sent);
          return CUPS_BACKEND_FAILED;
        }
        printer_left(j);
        continue;
      }
      note_stall(j);
    }
    serve_side_channel(j);
    forward_back_channel(j, true);
  }
  return CUPS_BACKEND_OK;
}

// Reads the next piece of the job into the empty buffer, answering the side
// channel and forwarding the printer's answers while it waits. A drain is
// answered here, once nothing more of the input is ready: the bytes written
// before it have then all gone out. Returns the bytes read, 0 at the end of
// the input, -1 on a read error (errno says which), -2 on a cancel.
int fill(job &j) {
  for (;;) {
    if (cancel_ends(j)) {
      return -2;
    }
    pollfd p[2] = {{j.input, POLLIN, 0}, {j.side_open ? CUPS_SC_FD : -1, POLLIN, 0}};
    const int ready = poll(p, 2, j.drains > 0 ? 0 : back_channel_due(j));
    if (ready < 0 && errno != EINTR) {
      return -1;
    }
    if (p[1].revents != 0) {
      serve_side_channel(j);
    }
    if (p[0].revents != 0) {
      const ssize_t n = read(j.input, j.buf, sizeof j.buf);
      if (n < 0 && errno != EINTR && errno != EAGAIN) {
        return -1;
      }
      if (n == 0) {
        answer_drains(j, CUPS_SC_STATUS_OK);
        return 0;
      }
      if (n > 0) {
        j.off = 0;
        j.have = static_cast<int>(n);
        return j.have;
      }
    } else if (ready == 0 && j.drains > 0) {
      answer_drains(j, CUPS_SC_STATUS_OK);
    }
    forward_back_channel(j, true);
  }
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

// Sends every copy of the job. Returns the exit status.
int send_copies(job &j, int copies) {
  int status = CUPS_BACKEND_OK;
  for (int copy = 1; copy <= copies && status == CUPS_BACKEND_OK && !cancel_ends(j); copy++) {
    if (copy > 1 && lseek(j.input, 0, SEEK_SET) != 0) {
      (void)std::fprintf(stderr, "ERROR: Cannot rewind the print file: %s\n", std::strerror(errno));
      return CUPS_BACKEND_FAILED;
    }
    int got = 0;
    while (status == CUPS_BACKEND_OK && (got = fill(j)) > 0) {
      status = send_buffer(j);
      (void)std::fprintf(stderr, "DEBUG: %lld bytes sent\n", j.sent);
    }
    if (got == -1 && status == CUPS_BACKEND_OK) {
      (void)std::fprintf(stderr, "ERROR: Cannot read the job: %s\n", std::strerror(errno));
      status = CUPS_BACKEND_FAILED;
    }
    if (got == 0 && status == CUPS_BACKEND_OK && j.off == j.have) {
      (void)std::fprintf(stderr, "PAGE: %d 1\n", copy);
    }
  }
  return status;
}

int print_job(int argc, char **argv) {
  job j;
  j.uri = q48::device_uri(argv);
  if (j.uri == nullptr) {
    (void)std::fputs("ERROR: No device URI given\n", stderr);
    return CUPS_BACKEND_FAILED;
  }
  j.by_serial = std::strncmp(j.uri, "q48://", 6) == 0;
  j.in_class = std::getenv("CLASS") != nullptr;
  j.from_stdin = argc == 6;
  int copies = 1;
  if (argc == 7) {
    if (!parse_copies(argv[4], &copies)) {
      (void)std::fprintf(stderr, "ERROR: Bad number of copies: %s\n", argv[4]);
      return CUPS_BACKEND_FAILED;
    }
    j.input = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (j.input < 0) {
      (void)std::fprintf(stderr, "ERROR: Cannot open the print file %s: %s\n", argv[6],
                         std::strerror(errno));
      return CUPS_BACKEND_FAILED;
    }
  }
  int status = connect(j);
  if (status == CUPS_BACKEND_OK && j.printer >= 0) {
    status = send_copies(j, copies);
  }
  const bool whole = status == CUPS_BACKEND_OK && !cancel_ends(j) && j.off == j.have;
  answer_drains(j, whole ? CUPS_SC_STATUS_OK : CUPS_SC_STATUS_IO_ERROR);
  if (status != CUPS_BACKEND_OK) {
    return status;
  }
  if (!whole) {
    (void)std::fprintf(stderr, "INFO: Job cancelled after %lld bytes\n", j.sent);
    return CUPS_BACKEND_OK;
  }
  forward_back_channel(j, false);
  (void)std::fprintf(stderr, "INFO: Sent %lld bytes\n", j.sent);
  return CUPS_BACKEND_OK;
}

} // namespace

int main(int argc, char **argv) {
  q48::claim_channel_descriptors();
  // Messages must reach cupsd line by line, as they happen. stderr is
  // unbuffered already, so a failure here changes nothing.
  (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
  // Without SA_RESTART, so that a cancel ends the wait of a poll or read.
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
