// libQ48Api: the exported state and entry points. Each entry point checks its
// arguments and hands the call to the transport chosen by the last open.

#include "Q48_Api.h"

#include <cstdio>
#include <cstring>

#include "q48_internal.h"

extern "C" {
int DEBUG_MESSAGES = 0;
int communication = q48::kNoTransport;
int Q48_API_ACCESS_WRITE = 0x02;
int Q48_API_ACCESS_READ = 0x81;
int Q48_API_INTERFACE = 0;
int Q48_API_ACCESS_READ_ENDPOINT_SIZE = 64;
unsigned char *m_pub_rx_buffer = nullptr;
int m_index_rx_bottom = 0;
int m_index_rx_top = 0;
}

namespace {

char library_info_text[] = "Mirelvank - libQ48Api - R3-V1.03a - S507312";
char *library_info = library_info_text;

// The first pattern that matches wins; a path that matches none keeps the
// transport of the previous open, so applications can reopen by short names.
void classify(const char *port) {
  if (std::strstr(port, "/dev/usb/lp") != nullptr || strcasestr(port, "/dev/ttyS") != nullptr) {
    communication = q48::kDeviceFile;
  } else if (std::strstr(port, "/dev/bus/usb/") != nullptr) {
    communication = q48::kUsb;
  }
}

bool transfer_args_ok(intptr_t printer, const unsigned char *data, int size) {
  return printer >= 0 && data != nullptr && size != 0;
}

} // namespace

namespace q48 {

bool debug_enabled() { return DEBUG_MESSAGES == 1; }

} // namespace q48

extern "C" {

char *Q48_api_get_library_info(void) { return library_info; }

intptr_t Q48_api_printer_open(char *port) {
  intptr_t result = Q48_API_NO_PRINTER;
  if (port != nullptr) {
    classify(port);
    if (communication == q48::kUsb) {
      result = q48::usb::open(port);
    } else if (communication == q48::kDeviceFile) {
      // One connection per process, whatever its transport: a USB
      // connection left open would keep its claim and its ring.
      q48::usb::end_live_connection();
      result = q48::file::open(port);
    }
  }
  return result;
}

int Q48_api_printer_set_serial(intptr_t printer, unsigned long baud_rate, unsigned char data_bits,
                               unsigned char parity, unsigned char stop_bits) {
  // Only 8 data bits are ever used: the printer speaks nothing else.
  (void)data_bits;
  int result = 0;
  if (printer >= 0) {
    result = 1;
    if (communication == q48::kDeviceFile) {
      const int fd = q48::file::descriptor_of(printer);
      result = fd >= 0 ? q48::file::set_serial(fd, baud_rate, parity, stop_bits) : 0;
    }
  }
  return result;
}

void Q48_api_printer_close(intptr_t printer) {
  if (printer < 0) {
    return;
  }
  if (communication == q48::kDeviceFile) {
    const int fd = q48::file::descriptor_of(printer);
    if (fd >= 0) {
      q48::file::close(fd);
    }
  } else if (communication == q48::kUsb) {
    if (q48::file::opened_here(printer)) {
      // A device file opened before the USB open: its connection is ours to end.
      q48::file::close(static_cast<int>(printer));
    } else {
      q48::usb::close(printer);
    }
  }
}

int Q48_api_printer_clear(intptr_t printer) {
  int result = 0;
  if (printer >= 0) {
    if (communication == q48::kDeviceFile) {
      const int fd = q48::file::descriptor_of(printer);
      result = fd >= 0 ? q48::file::clear(fd) : 0;
    } else if (communication == q48::kUsb) {
      result = q48::usb::clear(printer);
    }
  }
  return result;
}

int Q48_api_printer_write(intptr_t printer, unsigned char *data, int size,
                          unsigned long timeout_ms) {
  int result = 0;
  if (transfer_args_ok(printer, data, size)) {
    if (communication == q48::kDeviceFile) {
      const int fd = q48::file::descriptor_of(printer);
      result = fd >= 0 ? q48::file::write(fd, data, size, timeout_ms) : 0;
    } else if (communication == q48::kUsb) {
      result = q48::usb::write(printer, data, size, timeout_ms);
    }
  }
  return result;
}

int Q48_api_printer_read(intptr_t printer, unsigned char *data, int size,
                         unsigned long timeout_ms) {
  int result = 0;
  if (transfer_args_ok(printer, data, size)) {
    if (q48::debug_enabled()) {
      std::printf("\n Start of reading = %d \n", size);
    }
    if (communication == q48::kDeviceFile) {
      const int fd = q48::file::descriptor_of(printer);
      result = fd >= 0 ? q48::file::read(fd, data, size, timeout_ms) : 0;
    } else if (communication == q48::kUsb) {
      result = q48::usb::read(printer, data, size, timeout_ms);
    }
  }
  return result;
}

} // extern "C"
