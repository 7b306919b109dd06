#include "q48_printers.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <dirent.h>

#include <libusb.h>

namespace q48 {
namespace {

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

// The first line of a sysfs attribute, without its line end; false when it
// cannot be read.
bool read_line_file(const char *path, char *line, std::size_t cap) {
  std::FILE *f = std::fopen(path, "re");
  bool ok = false;
  if (f != nullptr) {
    ok = std::fgets(line, static_cast<int>(cap), f) != nullptr;
    (void)std::fclose(f); // opened for reading: closing it loses nothing
  }
  if (ok) {
    line[std::strcspn(line, "\r\n")] = '\0';
  } else if (cap > 0) {
    line[0] = '\0';
  }
  return ok;
}

bool read_number_file(const char *path, int *value) {
  // sysfs writes one decimal number and a line end; anything else is no
  // number, and one beyond int would match the wrong device.
  char line[32];
  bool ok = read_line_file(path, line, sizeof line);
  if (ok) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(line, &end, 10);
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

// Fills in what sysfs knows of the device at p's bus and address: libusb
// has the strings only by asking the device, which would mean opening it.
void read_sysfs(printer &p) {
  static const char kDevices[] = "/sys/bus/usb/devices";
  dir_guard devices(kDevices);
  for (dirent *e = devices.next(); e != nullptr; e = devices.next()) {
    if (e->d_name[0] == '.' || std::strchr(e->d_name, ':') != nullptr) {
      continue;
    }
    char dir[512];
    char file[600];
    int bus = 0;
    int address = 0;
    // dir and file hold the longest name sysfs can give, with room to spare.
    (void)std::snprintf(dir, sizeof dir, "%s/%s", kDevices, e->d_name);
    (void)std::snprintf(file, sizeof file, "%s/busnum", dir);
    const bool bus_ok = read_number_file(file, &bus);
    (void)std::snprintf(file, sizeof file, "%s/devnum", dir);
    if (bus_ok && read_number_file(file, &address) && bus == p.bus && address == p.address) {
      (void)std::snprintf(file, sizeof file, "%s/serial", dir);
      read_line_file(file, p.serial, sizeof p.serial);
      (void)std::snprintf(file, sizeof file, "%s/manufacturer", dir);
      read_line_file(file, p.manufacturer, sizeof p.manufacturer);
      (void)std::snprintf(file, sizeof file, "%s/product", dir);
      read_line_file(file, p.product, sizeof p.product);
      char lp[256];
      if (find_lp_under(dir, e->d_name, lp, sizeof lp)) {
        (void)std::snprintf(p.lp, sizeof p.lp, "/dev/usb/%s", lp);
      }
      break;
    }
  }
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

int find_printers(printer *printers, std::size_t cap) {
  libusb_context *ctx = nullptr;
  int count = -1;
  if (libusb_init(&ctx) == 0) {
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n >= 0) {
      count = 0;
      for (ssize_t i = 0; i < n && static_cast<std::size_t>(count) < cap; i++) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == kVendorId &&
            d.idProduct == kProductId) {
          printer &p = printers[static_cast<std::size_t>(count++)];
          p = printer{};
          p.bus = libusb_get_bus_number(list[i]);
          p.address = libusb_get_device_address(list[i]);
        }
      }
      libusb_free_device_list(list, 1);
    }
    libusb_exit(ctx);
  }
  std::sort(printers, printers + std::max(count, 0), [](const printer &a, const printer &b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  for (int i = 0; i < count; i++) {
    printer &p = printers[i];
    (void)std::snprintf(p.path, sizeof p.path, "/dev/bus/usb/%03d/%03d", p.bus, p.address);
    read_sysfs(p);
  }
  return count;
}

void printer_uri(const printer &p, char *uri, std::size_t cap) {
  if (p.serial[0] == '\0') {
    (void)std::snprintf(uri, cap, "q48:%s", p.path);
    return;
  }
  static const char kPrefix[] = "q48://usb?serial=";
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
      ok = lo >= 0;
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

} // namespace q48
