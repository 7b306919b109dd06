#include "q48_printers.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace q48 {
namespace {

constexpr char kDevices[] = "/sys/bus/usb/devices";

// Closes a directory stream on every way out.
struct dir_guard {
  DIR *dir;
  explicit dir_guard(const char *path) : dir(opendir(path)) {}
  dir_guard(const dir_guard &) = delete;
  dir_guard &operator=(const dir_guard &) = delete;
  ~dir_guard() {
    if (dir != nullptr) {
      closedir(dir);
    }
  }
  dirent *next() const { return dir != nullptr ? readdir(dir) : nullptr; }
};

// A sysfs attribute as the kernel wrote it, without the one line end it adds;
// a CR or a line end inside the value stays (a serial may hold either).
// False, with an empty value, when it cannot be read or does not fit.
bool read_attribute(const char *path, char *value, std::size_t cap) {
  value[0] = '\0';
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::size_t size = 0;
  ssize_t n = 0;
  while (size < cap && (n = ::read(fd, value + size, cap - size)) > 0) {
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (size > 0 && value[size - 1] == '\n') {
    size--;
  }
  const bool ok = n >= 0 && size < cap && std::memchr(value, '\0', size) == nullptr;
  value[ok ? size : 0] = '\0';
  return ok;
}

// An attribute that is only shown, cut to fit where it is longer.
void read_shown_attribute(const char *path, char *value, std::size_t cap) {
  char whole[1024];
  std::size_t n = read_attribute(path, whole, sizeof whole) ? std::strlen(whole) : 0;
  n = n < cap ? n : cap - 1;
  std::memcpy(value, whole, n);
  value[n] = '\0';
}

// sysfs writes one number and a line end; anything else is no number, and
// one beyond int would match the wrong device.
bool read_number_file(const char *path, int base, int *value) {
  char line[32];
  bool ok = read_attribute(path, line, sizeof line);
  if (ok) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(line, &end, base);
    ok = errno == 0 && end != line && *end == '\0' && v >= INT_MIN && v <= INT_MAX;
    if (ok) {
      *value = static_cast<int>(v);
    }
  }
  return ok;
}

// Writes "lpN" of the first usbmisc node under one of the device's
// interfaces (sysfs dev/dev:C.I/usbmisc/lpN) into name; false when there is none.
bool find_lp_under(const char *device_dir, const char *device_name, char *name, std::size_t cap) {
  bool found = false;
  dir_guard dev(device_dir);
  const std::size_t prefix = std::strlen(device_name);
  for (dirent *e = dev.next(); e != nullptr && !found; e = dev.next()) {
    // Interfaces are named after their device: "1-1:1.0".
    if (std::strncmp(e->d_name, device_name, prefix) != 0 || e->d_name[prefix] != ':') {
      continue;
    }
    // A name is at most 255 bytes, so none of these paths is ever cut short.
    char misc[1024];
    (void)std::snprintf(misc, sizeof misc, "%s/%s/usbmisc", device_dir, e->d_name);
    dir_guard nodes(misc);
    for (dirent *n = nodes.next(); n != nullptr && !found; n = nodes.next()) {
      if (std::strncmp(n->d_name, "lp", 2) == 0) {
        (void)std::snprintf(name, cap, "%s", n->d_name);
        found = true;
      }
    }
  }
  return found;
}

// Reads what tells the device whose sysfs folder is dir apart: whether it
// is a Q48 printer, its bus, address, path and serial. False when it is not
// a Q48 printer.
bool read_identity(const char *dir, printer &p) {
  char file[600]; // the longest name sysfs gives, with room to spare
  int vendor = 0;
  int product = 0;
  const auto attribute = [&](const char *attr) {
    (void)std::snprintf(file, sizeof file, "%s/%s", dir, attr);
    return file;
  };
  if (!read_number_file(attribute("idVendor"), 16, &vendor) ||
      !read_number_file(attribute("idProduct"), 16, &product) ||
      static_cast<unsigned>(vendor) != kVendorId || static_cast<unsigned>(product) != kProductId ||
      !read_number_file(attribute("busnum"), 10, &p.bus) ||
      !read_number_file(attribute("devnum"), 10, &p.address)) {
    return false;
  }
  (void)std::snprintf(p.path, sizeof p.path, "/dev/bus/usb/%03d/%03d", p.bus, p.address);
  (void)read_attribute(attribute("serial"), p.serial, sizeof p.serial);
  return true;
}

// Reads the device whose sysfs folder is dir (named name) into p; false
// when it is not a Q48 printer.
bool read_device(const char *dir, const char *name, printer &p) {
  if (!read_identity(dir, p)) {
    return false;
  }
  (void)std::snprintf(p.entry, sizeof p.entry, "%s", name);
  char file[600];
  (void)std::snprintf(file, sizeof file, "%s/manufacturer", dir);
  read_shown_attribute(file, p.manufacturer, sizeof p.manufacturer);
  (void)std::snprintf(file, sizeof file, "%s/product", dir);
  read_shown_attribute(file, p.product, sizeof p.product);
  char lp[256];
  if (find_lp_under(dir, name, lp, sizeof lp)) {
    (void)std::snprintf(p.lp, sizeof p.lp, "/dev/usb/%s", lp);
  }
  return true;
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hex_value(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                : -1;
}

} // namespace

bool find_printers(printer_list &list) {
  list.count = 0;
  errno = 0;
  dir_guard devices(kDevices);
  if (devices.dir == nullptr) {
    return errno == ENOENT; // no USB on this machine, or no sysfs to read
  }
  for (dirent *e = devices.next(); e != nullptr; e = devices.next()) {
    // Devices only: interfaces are named "1-1:1.0".
    if (e->d_name[0] == '.' || std::strchr(e->d_name, ':') != nullptr) {
      continue;
    }
    if (list.count == list.cap) {
      const std::size_t want = list.cap == 0 ? 8 : 2 * list.cap;
      void *grown = want <= SIZE_MAX / sizeof(printer)
                        ? std::realloc(list.items, want * sizeof(printer))
                        : nullptr;
      if (grown == nullptr) {
        list.count = 0; // a part would pass for the whole
        errno = ENOMEM;
        return false;
      }
      list.items = static_cast<printer *>(grown);
      list.cap = want;
    }
    char dir[512];
    (void)std::snprintf(dir, sizeof dir, "%s/%s", kDevices, e->d_name);
    printer &p = list.items[list.count];
    p = printer{};
    list.count += read_device(dir, e->d_name, p) ? 1 : 0;
  }
  std::sort(list.items, list.items + list.count, [](const printer &a, const printer &b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  return true;
}

bool still_attached(const printer &p) {
  char dir[512];
  (void)std::snprintf(dir, sizeof dir, "%s/%s", kDevices, p.entry);
  printer now;
  return p.entry[0] != '\0' && read_identity(dir, now) && now.bus == p.bus &&
         now.address == p.address && std::strcmp(now.serial, p.serial) == 0;
}

const printer *find_serial(const printer_list &list, const char *serial) {
  for (const printer &p : list) {
    if (std::strcmp(p.serial, serial) == 0) {
      return &p;
    }
  }
  return nullptr;
}

void printer_uri(const printer &p, char *uri, std::size_t cap) {
  if (p.serial[0] == '\0') {
    (void)std::snprintf(uri, cap, "q48:%s", p.path);
    return;
  }
  static const char kPrefix[] = "q48://usb?serial=";
  // With kUriSize bytes every byte of the longest serial fits.
  std::size_t at = static_cast<std::size_t>(std::snprintf(uri, cap, "%s", kPrefix));
  for (const char *s = p.serial; *s != '\0' && at + 4 <= cap; s++) {
    const auto c = static_cast<unsigned char>(*s);
    if (unreserved(c)) {
      uri[at++] = static_cast<char>(c);
    } else {
      at += static_cast<std::size_t>(std::snprintf(uri + at, cap - at, "%%%02X", c));
    }
  }
  if (at < cap) {
    uri[at] = '\0';
  }
}

bool uri_serial(const char *uri, char *serial, std::size_t cap) {
  static const char kPrefix[] = "q48://usb?serial=";
  if (uri == nullptr || std::strncmp(uri, kPrefix, sizeof kPrefix - 1) != 0 || cap == 0) {
    return false;
  }
  std::size_t at = 0;
  bool ok = true;
  // CUPS may append its own options after '&' or '#'; the serial ends there.
  for (const char *s = uri + sizeof kPrefix - 1; ok && *s != '\0' && *s != '&' && *s != '#'; s++) {
    char c = *s;
    if (c == '%') {
      const int hi = hex_value(s[1]);
      const int lo = hi >= 0 ? hex_value(s[2]) : -1;
      // A NUL would end the serial there and match a printer whose serial
      // is only the part before it, or none at all.
      ok = lo >= 0 && hi * 16 + lo != 0;
      c = static_cast<char>(hi * 16 + lo);
      s += 2;
    }
    ok = ok && at + 1 < cap;
    if (ok) {
      serial[at++] = c;
    }
  }
  serial[at] = '\0';
  return ok && at > 0;
}

const char *uri_path(const char *uri) {
  return uri != nullptr && std::strncmp(uri, "q48:/", 5) == 0 && uri[5] != '/' ? uri + 4 : nullptr;
}

} // namespace q48
