// q48-coded-to-raw: the CUPS filter from coded command text
// (application/vnd.q48-coded, files named *.q48) to the printer's bytes.
//
//   q48-coded-to-raw job-id user title copies options [file]
//
// The whole text is converted at once: a quoted run or a comment may span
// any number of lines, so no piece of it can be converted on its own. With
// a file, the bytes are written `copies` times (the PPD leaves copies to the
// filters); from standard input once, as CUPS expects.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "Q48_Tb.h"
#include "q48_args.h"
#include "q48_byte_buffer.h"

namespace {

// Releases the command object on every way out.
struct command_guard {
  int cmd = 0;
  command_guard() = default;
  command_guard(const command_guard &) = delete;
  command_guard &operator=(const command_guard &) = delete;
  ~command_guard() { Q48_tb_cmd_exit(cmd); }
};

bool write_all(const unsigned char *data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(1, data, n);
    if (w < 0 && errno == EINTR) {
      continue;
    }
    if (w <= 0) {
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
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

} // namespace

int main(int argc, char **argv) {
  // Messages must reach cupsd line by line, as they happen. stderr is
  // unbuffered already, so a failure here changes nothing.
  (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
  if (argc < 6 || argc > 7) {
    (void)std::fputs("Usage: q48-coded-to-raw job-id user title copies options [file]\n", stderr);
    return 1;
  }
  int input = 0;
  int copies = 1;
  if (argc == 7) {
    if (!parse_copies(argv[4], &copies)) {
      (void)std::fprintf(stderr, "ERROR: Bad number of copies: %s\n", argv[4]);
      return 1;
    }
    input = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      (void)std::fprintf(stderr, "ERROR: Cannot open %s: %s\n", argv[6], std::strerror(errno));
      return 1;
    }
  }
  q48::byte_buffer text;
  const bool read_ok = text.read_fd(input, SIZE_MAX - 1);
  if (input > 0) {
    close(input);
  }
  if (!read_ok) {
    (void)std::fprintf(stderr, "ERROR: Cannot read the coded text: %s\n", std::strerror(errno));
    return 1;
  }
  if (text.size == 0) {
    (void)std::fputs("INFO: Empty coded text, nothing to print\n", stderr);
    return 0;
  }
  command_guard command;
  unsigned char *raw = nullptr;
  unsigned int raw_size = 0;
  command.cmd = text.size <= 0x7FFFFFFF
                    ? Q48_tb_cmd_init_coded(text.data, static_cast<unsigned int>(text.size))
                    : 0;
  if (command.cmd == 0 || Q48_tb_cmd_get_raw(command.cmd, &raw, &raw_size) == 0) {
    (void)std::fputs("ERROR: Cannot convert the coded text (too long, or out of memory)\n", stderr);
    return 1;
  }
  (void)std::fprintf(stderr, "DEBUG: %zu bytes of coded text make %u printer bytes\n", text.size,
                     raw_size);
  for (int copy = 0; copy < copies; copy++) {
    if (!write_all(raw, raw_size)) {
      (void)std::fprintf(stderr, "ERROR: Cannot pass the bytes on: %s\n", std::strerror(errno));
      return 1;
    }
  }
  return 0;
}
