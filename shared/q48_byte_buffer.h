// A growing byte buffer on malloc: the programs carry no C++ runtime, like
// the libraries.
#ifndef Q48_BYTE_BUFFER_H
#define Q48_BYTE_BUFFER_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace q48 {

struct byte_buffer {
  unsigned char *data = nullptr;
  std::size_t size = 0;
  std::size_t cap = 0;
  byte_buffer() = default;
  byte_buffer(const byte_buffer &) = delete;
  byte_buffer &operator=(const byte_buffer &) = delete;
  ~byte_buffer() { std::free(data); }

  // Appends n bytes; false (and nothing appended) when memory runs out or
  // the size would pass SIZE_MAX.
  bool append(const void *bytes, std::size_t n) {
    if (n > SIZE_MAX - size) {
      return false;
    }
    if (size + n > cap) {
      std::size_t want = cap == 0 ? 4096 : cap;
      while (want < size + n) {
        // Doubling past half of SIZE_MAX would wrap, to 0 in the end, and
        // loop for ever: a 32-bit program gets there after 2 GiB of input.
        want = want <= SIZE_MAX / 2 ? want * 2 : size + n;
      }
      void *grown = std::realloc(data, want);
      if (grown == nullptr) {
        return false;
      }
      data = static_cast<unsigned char *>(grown);
      cap = want;
    }
    if (n > 0) {
      std::memcpy(data + size, bytes, n);
      size += n;
    }
    return true;
  }

  // Appends what fd holds up to its end, or until more than limit bytes are
  // held (the caller refuses such a text anyway, so the rest is not read);
  // false on a read error (errno says which) or exhausted memory.
  bool read_fd(int fd, std::size_t limit) {
    unsigned char chunk[65536];
    while (size <= limit) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n == 0) {
        return true;
      }
      if (n < 0 && errno != EINTR) {
        return false;
      }
      if (n > 0 && !append(chunk, static_cast<std::size_t>(n))) {
        errno = ENOMEM;
        return false;
      }
    }
    return true;
  }
};

} // namespace q48

#endif // Q48_BYTE_BUFFER_H
