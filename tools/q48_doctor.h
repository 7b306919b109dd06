// What the parts of q48-doctor share: the findings it reports and how they
// are written, and the printers it found. q48_doctor.cpp holds the checks of
// the printers, their access and the versions; q48_doctor_cups.cpp those of
// CUPS, built only where libcups is.
#ifndef Q48_DOCTOR_H
#define Q48_DOCTOR_H

#include <cstddef>

#include "q48_printers.h"

namespace q48doctor {

enum class state { ok, warning, problem };

// A line of text built in place: the programs carry no C++ runtime, so no
// std::string. What does not fit is cut, never overrun.
struct text {
  char buf[4096] = "";
  std::size_t len = 0;
  text &add(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // A string that a device or cupsd wrote: control bytes and broken UTF-8
  // become \xHH, so that no serial number can move the cursor of the
  // terminal or break the JSON.
  text &shown(const char *s);
  // One shell word, quoted where the shell would read it otherwise.
  text &word(const char *s);
  const char *c_str() const { return buf; }
};

constexpr int kMaxFixes = 4;

struct finding {
  state st = state::ok;
  const char *check = "";
  text subject; // what the check looked at: a node, a queue; may be empty
  text found;
  // Commands that fix it, one per line; a line that starts with '#' says
  // what no command can do (plug the printer in).
  text fixes[kMaxFixes];
  int fix_count = 0;
  text &fix() { return fixes[fix_count < kMaxFixes ? fix_count++ : kMaxFixes - 1]; }
};

// Writes each finding as it is made, as a line of text or as JSON.
void report(const finding &f);

// "sudo " where the user is not root, so that each fix runs as it stands.
const char *sudo();

// The printer of printers at path (its USB path or line-printer node), or
// nullptr.
const q48::printer *printer_at(const q48::printer_list &printers, const char *path);

// The CUPS checks: cupsd, the q48 MIME type and each q48 queue; with a
// SERIAL or PATH asked for (wanted), only the queues of that printer (only,
// when it is attached).
void check_cups(const q48::printer_list &printers, const q48::printer *only, const char *wanted);

} // namespace q48doctor

#endif // Q48_DOCTOR_H
