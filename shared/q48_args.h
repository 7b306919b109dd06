// Command-line numbers of the programs around the libraries: q48-send's
// options and the CUPS programs' copies argument.
#ifndef Q48_ARGS_H
#define Q48_ARGS_H

#include <cerrno>
#include <cstdlib>

namespace q48args {

// A whole decimal number from min to max, and nothing after it. Anything
// else is refused rather than read as some other count ("2x" is not 2).
inline bool parse_count(const char *text, long min, long max, long *out) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  const bool ok = errno == 0 && end != text && *end == '\0' && v >= min && v <= max;
  if (ok) {
    *out = v;
  }
  return ok;
}

} // namespace q48args

#endif
