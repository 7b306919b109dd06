// What each code of Q48_api_printer_open means to someone reading a message:
// the one table that q48-send, the CUPS backend and (checked against it) the
// Python package report open's failures with.
#ifndef Q48_OPEN_CODES_H
#define Q48_OPEN_CODES_H

#include <cstdint>
#include <span>

namespace q48 {

struct open_code {
  intptr_t code;
  const char *meaning;
};

// Every code that open returns, -1 first.
std::span<const open_code> open_codes();

// The meaning of code, or "unknown error" for a value that is no code of open.
const char *open_meaning(intptr_t code);

} // namespace q48

#endif // Q48_OPEN_CODES_H
