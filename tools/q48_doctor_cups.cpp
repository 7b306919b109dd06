// q48-doctor's CUPS checks, over IPP through libcups: whether cupsd answers,
// whether it knows coded command text, and for each queue that prints
// through the q48 backend its URI, its printer, its state and its error
// policy. Only reads: the fixes are for the user to run.

#include <cstdio>
#include <cstring>
#include <iterator>

#include <cups/cups.h>
#include <unistd.h>

#include "q48_doctor.h"

namespace q48doctor {
namespace {

// cupsd on the same machine answers within milliseconds; these bound the
// wait for one that hangs, within the doctor's three seconds. libcups adds
// a second of its own there, waiting for cupsd's "100 Continue".
constexpr int kConnectMs = 500;
constexpr double kRequestS = 0.5;

constexpr char kCodedType[] = "application/vnd.q48-coded";
// What the q48-cups package installs: the backend tells that CUPS is meant
// to print here, the MIME file that cupsd only reads when it starts.
constexpr char kBackend[] = "/usr/lib/cups/backend/q48";
constexpr char kTypes[] = "/usr/share/cups/mime/q48.types";

// What one queue of cupsd's answer says; the strings live in the answer.
struct queue {
  const char *name = "";
  const char *uri = "";
  int state = IPP_PSTATE_IDLE;
  bool accepting = true;
  const char *policy = "";
  const char *message = "";
  text reasons;
  bool coded = false; // application/vnd.q48-coded among its formats
  bool q48() const { return std::strncmp(uri, "q48:", 4) == 0; }
};

// Reads the next queue of the answer, from attribute a on; the attribute
// after it (nullptr at the end).
ipp_attribute_t *next_queue(ipp_t *answer, ipp_attribute_t *a, queue *q) {
  while (a != nullptr && ippGetGroupTag(a) != IPP_TAG_PRINTER) {
    a = ippNextAttribute(answer);
  }
  for (; a != nullptr && ippGetGroupTag(a) == IPP_TAG_PRINTER; a = ippNextAttribute(answer)) {
    const char *name = ippGetName(a);
    const char *value = ippGetString(a, 0, nullptr);
    value = value != nullptr ? value : "";
    if (std::strcmp(name, "printer-name") == 0) {
      q->name = value;
    } else if (std::strcmp(name, "device-uri") == 0) {
      q->uri = value;
    } else if (std::strcmp(name, "printer-state") == 0) {
      q->state = ippGetInteger(a, 0);
    } else if (std::strcmp(name, "printer-is-accepting-jobs") == 0) {
      q->accepting = ippGetBoolean(a, 0) != 0;
    } else if (std::strcmp(name, "printer-error-policy") == 0) {
      q->policy = value;
    } else if (std::strcmp(name, "printer-state-message") == 0) {
      q->message = value;
    } else if (std::strcmp(name, "printer-state-reasons") == 0 ||
               std::strcmp(name, "document-format-supported") == 0) {
      for (int i = 0; i < ippGetCount(a); i++) {
        const char *v = ippGetString(a, i, nullptr);
        if (name[0] == 'd') {
          q->coded = q->coded || std::strcmp(v, kCodedType) == 0;
        } else if (std::strcmp(v, "none") != 0) {
          q->reasons.add(q->reasons.len > 0 ? ", " : "").shown(v);
        }
      }
    }
  }
  return a;
}

void start(finding &f, const char *check, const queue &q) {
  f.check = check;
  f.subject.shown(q.name);
}

void check_queue(const queue &q, const q48::printer_list &printers) {
  char serial[q48::kSerialSize] = "";
  const bool by_serial = q48::uri_serial(q.uri, serial, sizeof serial);
  const char *path = q48::uri_path(q.uri);
  const q48::printer *p = by_serial         ? q48::find_serial(printers, serial)
                          : path != nullptr ? printer_at(printers, path)
                                            : nullptr;

  finding u;
  start(u, "queue uri", q);
  if (by_serial) {
    u.found.shown(q.uri).add(" names the printer by its serial number, which a replug keeps");
  } else {
    u.st = state::problem;
    u.found.shown(q.uri).add(path != nullptr
                                 ? " names the printer by a path, which a replug changes"
                                 : " is no URI the q48 backend takes");
    // The URI of the printer there now, or of the only one attached.
    const q48::printer *to = p != nullptr ? p : printers.count == 1 ? printers.items : nullptr;
    if (to != nullptr && to->serial[0] != '\0') {
      char uri[q48::kUriSize] = "";
      q48::printer_uri(*to, uri, sizeof uri);
      u.fix().add("%slpadmin -p ", sudo()).word(q.name).add(" -v ").word(uri);
    } else {
      u.fix()
          .add("%slpadmin -p ", sudo())
          .word(q.name)
          .add(" -v \"$(q48-list --uri | head -n 1)\"");
    }
  }
  report(u);

  finding a;
  start(a, "queue printer", q);
  if (p != nullptr) {
    a.found.add("attached at %s", p->path);
  } else {
    a.st = state::problem;
    a.found.add("no printer is attached there: its jobs wait in the queue");
    a.fix().add("# plug the printer in and switch it on; q48-list --uri lists what is attached");
  }
  report(a);

  finding s;
  start(s, "queue state", q);
  const bool stopped = q.state == IPP_PSTATE_STOPPED;
  if (stopped || !q.accepting) {
    s.st = state::problem;
    s.found.add("%s%s", stopped ? "stopped" : "",
                !q.accepting ? (stopped ? ", not accepting jobs" : "not accepting jobs") : "");
    if (q.reasons.len > 0) {
      s.found.add(" (%s)", q.reasons.c_str());
    }
    if (q.message[0] != '\0') {
      s.found.add(": ").shown(q.message);
    }
    if (stopped) {
      s.fix().add("%scupsenable ", sudo()).word(q.name);
    }
    if (!q.accepting) {
      s.fix().add("%scupsaccept ", sudo()).word(q.name);
    }
  } else {
    s.found.add(q.state == IPP_PSTATE_PROCESSING ? "printing, accepting jobs"
                                                 : "idle, accepting jobs");
  }
  report(s);

  // What the manual recommends for unattended tills: a receipt cut by an
  // unplug is not printed again, and the queue goes on.
  finding e;
  start(e, "queue error policy", q);
  e.found.shown(q.policy);
  if (std::strcmp(q.policy, "abort-job") == 0) {
    e.found.add(": a failed receipt is dropped and the queue goes on");
  } else {
    const bool stops = std::strcmp(q.policy, "stop-printer") == 0;
    e.st = stops ? state::problem : state::warning;
    e.found.add(stops ? ": an error stops the queue until someone runs cupsenable"
                      : ": a receipt cut by an error is printed again from its start");
    e.fix().add("%slpadmin -p ", sudo()).word(q.name).add(" -o printer-error-policy=abort-job");
  }
  report(e);
}

bool wanted_queue(const queue &q, const q48::printer *only, const char *wanted) {
  char serial[q48::kSerialSize] = "";
  const char *path = q48::uri_path(q.uri);
  const bool by_serial = q48::uri_serial(q.uri, serial, sizeof serial);
  return wanted == nullptr || (by_serial && std::strcmp(serial, wanted) == 0) ||
         (path != nullptr && std::strcmp(path, wanted) == 0) ||
         (only != nullptr && by_serial && std::strcmp(serial, only->serial) == 0) ||
         (only != nullptr && path != nullptr &&
          (std::strcmp(path, only->path) == 0 || std::strcmp(path, only->lp) == 0));
}

struct connection {
  http_t *http = nullptr;
  ipp_t *answer = nullptr;
  connection() = default;
  connection(const connection &) = delete;
  connection &operator=(const connection &) = delete;
  ~connection() {
    ippDelete(answer);
    httpClose(http);
  }
};

} // namespace

void check_cups(const q48::printer_list &printers, const q48::printer *only, const char *wanted) {
  finding d;
  d.check = "cupsd";
  const char *server = cupsServer();
  connection c;
  c.http =
      httpConnect2(server, ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, kConnectMs, nullptr);
  if (c.http == nullptr) {
    const bool meant = access(kBackend, F_OK) == 0;
    d.st = meant ? state::warning : state::ok;
    d.found.add("no cupsd answers at ").shown(server);
    d.found.add(meant ? ", though q48-cups is installed" : ": CUPS is not in use here");
    if (meant) {
      d.fix().add("%ssystemctl start cups", sudo());
    }
    report(d);
    return;
  }
  httpSetTimeout(c.http, kRequestS, nullptr, nullptr);
  static const char *const kWanted[] = {"printer-name",          "device-uri",
                                        "printer-state",         "printer-state-reasons",
                                        "printer-state-message", "printer-is-accepting-jobs",
                                        "printer-error-policy",  "document-format-supported"};
  ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kWanted)), nullptr, kWanted);
  c.answer = cupsDoRequest(c.http, request, "/");
  if (c.answer == nullptr && cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND) {
    d.st = state::warning;
    d.found.add("cupsd at ").shown(server).add(" did not list its queues: ");
    // A silent cupsd leaves the reason in the connection, not in IPP.
    const int error = httpError(c.http);
    d.found.shown(error != 0 ? std::strerror(error) : cupsLastErrorString());
    d.fix().add("%ssystemctl restart cups", sudo());
    report(d);
    return;
  }

  // A first pass counts, so that cupsd's line and the type's come first.
  int count = 0;
  int q48_count = 0;
  bool coded = false;
  for (ipp_attribute_t *a = ippFirstAttribute(c.answer); a != nullptr;) {
    queue q;
    a = next_queue(c.answer, a, &q);
    count += q.name[0] != '\0' ? 1 : 0;
    q48_count += q.q48() ? 1 : 0;
    coded = coded || (q.q48() && q.coded);
  }
  d.found.add("answers at ")
      .shown(server)
      .add(": %d queue%s, %d through the q48 backend", count, count == 1 ? "" : "s", q48_count);
  report(d);
  if (q48_count == 0) {
    return;
  }

  // A queue takes coded text only where cupsd read q48.types when it
  // started: installing q48-cups without restarting cupsd leaves it out,
  // and a .q48 file then prints as its characters while the job "completes".
  finding t;
  t.check = "cupsd type";
  if (coded) {
    t.found.add("cupsd knows %s (coded text)", kCodedType);
  } else {
    t.st = state::problem;
    t.found.add("the q48 queues do not take %s: .q48 files would print as plain text", kCodedType);
    if (access(kTypes, F_OK) != 0) {
      t.fix().add("%sapt install q48-cups", sudo());
    }
    t.fix().add("%ssystemctl restart cups   # cupsd reads MIME types when it starts", sudo());
  }
  report(t);

  for (ipp_attribute_t *a = ippFirstAttribute(c.answer); a != nullptr;) {
    queue q;
    a = next_queue(c.answer, a, &q);
    if (q.q48() && wanted_queue(q, only, wanted)) {
      check_queue(q, printers);
    }
  }
}

} // namespace q48doctor
