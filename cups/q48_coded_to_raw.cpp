// q48-coded-to-raw: the CUPS filter from coded command text
// (application/vnd.q48-coded, files named *.q48) to the printer's bytes.
//
//   q48-coded-to-raw job-id user title copies options [file]
//
// The text is converted as it arrives, so memory stays the same whatever the
// job's size, and the bytes are those that converting the whole text at once
// gives (q48-send's). With a file, the bytes are written `copies` times (the
// PPD leaves copies to the filters); from standard input once, as CUPS
// expects.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "q48_args.h"
#include "q48_coded_stream.h"

namespace {

// What one read takes: the stream's pieces, and so its memory, are this big.
constexpr std::size_t kChunk = 65536;

// Set when the bytes could not be passed on, with errno saying why.
bool g_write_failed = false;

bool write_all(void *, const unsigned char *data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(STDOUT_FILENO, data, n);
    if (w < 0 && errno == EINTR) {
      continue;
    }
    if (w <= 0) {
      g_write_failed = true;
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

enum class outcome { ok, read_failed, convert_failed };

// Converts what fd holds to its end. After a comment the rest of a pipe is
// still read, so that whoever feeds it is not cut off mid-write.
outcome convert_all(int fd, q48::coded_stream &stream) {
  static unsigned char chunk[kChunk];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) {
      return stream.finish() ? outcome::ok : outcome::convert_failed;
    }
    if (n < 0 && errno != EINTR) {
      return outcome::read_failed;
    }
    if (n > 0 && !stream.feed(chunk, static_cast<std::size_t>(n))) {
      return outcome::convert_failed;
    }
  }
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
  int input = STDIN_FILENO;
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
  outcome result = outcome::ok;
  unsigned long long text_bytes = 0;
  unsigned long long raw_bytes = 0;
  for (int copy = 0; copy < copies && result == outcome::ok; copy++) {
    if (copy > 0 && lseek(input, 0, SEEK_SET) != 0) {
      result = outcome::read_failed;
      break;
    }
    q48::coded_stream stream(write_all, nullptr);
    result = convert_all(input, stream);
    text_bytes = stream.text_bytes();
    raw_bytes = stream.raw_bytes();
  }
  const int failure_errno = errno;
  if (input != STDIN_FILENO) {
    close(input);
  }
  if (result == outcome::read_failed) {
    (void)std::fprintf(stderr, "ERROR: Cannot read the coded text: %s\n",
                       std::strerror(failure_errno));
    return 1;
  }
  if (result == outcome::convert_failed) {
    if (g_write_failed) {
      (void)std::fprintf(stderr, "ERROR: Cannot pass the bytes on: %s\n",
                         std::strerror(failure_errno));
    } else {
      (void)std::fputs("ERROR: Cannot convert the coded text: out of memory\n", stderr);
    }
    return 1;
  }
  if (text_bytes == 0) {
    (void)std::fputs("INFO: Empty coded text, nothing to print\n", stderr);
  } else {
    (void)std::fprintf(stderr, "DEBUG: %llu bytes of coded text make %llu printer bytes\n",
                       text_bytes, raw_bytes);
  }
  return 0;
}
