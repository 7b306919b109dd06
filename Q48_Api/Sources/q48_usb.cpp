// USB transport through libusb-1.0: finding and claiming the printer, and the
// bulk transfers of clear, write and read.
//
// The printer answers in whole packets; read takes one packet per transfer
// and passes it through the receive ring, so bytes beyond a request wait for
// the next read. Every transfer waits at most 100 ms, so each loop tests its
// own time budget at least that often.

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <libusb.h>

#include "Q48_Api.h"
#include "q48_internal.h"

namespace q48::usb {

namespace {

constexpr uint16_t kVendorId = 0x2F7A;
constexpr uint16_t kProductId = 0x0001;
constexpr int kConfiguration = 1;
// The path /dev/bus/usb/BBB/DDD: bus and device are its 4th and 5th tokens.
constexpr int kBusToken = 4;
constexpr int kDeviceToken = 5;

// Long enough for a packet at full speed, short enough that a loop notices
// its own time-out and an unplug within a tenth of a second.
constexpr unsigned int kTransferTimeoutMs = 100;

// A claim fails while another program or a kernel driver still holds the
// interface; give it a second to let go.
constexpr unsigned long kClaimBudgetMs = 1000;
constexpr unsigned long kClaimStepMs = 100;

// How long a clear waits for a late answer from a silent printer, and how
// long it may take at most while the printer goes on sending.
constexpr unsigned long kClearBudgetMs = 500;
constexpr unsigned long kClearLimitMs = 1000;
constexpr int kClearChunk = 256;
constexpr int kClearChunkMax = 1024;

// The one connection of this process. Only a handle equal to it is ever
// given to libusb: a closed or replaced handle would be a dangling pointer.
libusb_device_handle *s_connection = nullptr;
// The handle of the connection that ended last, by close or by a later open:
// a caller may still hold it, so no open hands out the same value next.
intptr_t s_last_ended = 0;

libusb_device_handle *connection_of(intptr_t printer) {
  return (s_connection != nullptr && printer == reinterpret_cast<intptr_t>(s_connection))
             ? s_connection
             : nullptr;
}

unsigned char endpoint(int address) { return static_cast<unsigned char>(address & 0xFF); }

void reset_ring() {
  std::memset(m_pub_rx_buffer, 0, kRxRingSize);
  m_index_rx_top = 0;
  m_index_rx_bottom = 0;
}

// What an open has acquired so far. Whatever is still held when the attempt
// ends is given back in the reverse order of acquisition; a successful open
// keeps the context, the handle and the claim for the connection.
struct open_attempt {
  bool context = false;
  libusb_device **list = nullptr;
  libusb_device_handle *handle = nullptr;
  bool claimed = false;

  open_attempt() = default;
  open_attempt(const open_attempt &) = delete;
  open_attempt &operator=(const open_attempt &) = delete;
  ~open_attempt() {
    if (claimed) {
      (void)libusb_release_interface(handle, Q48_API_INTERFACE);
    }
    if (handle != nullptr) {
      libusb_close(handle);
    }
    if (list != nullptr) {
      libusb_free_device_list(list, 1);
    }
    if (context) {
      libusb_exit(nullptr);
    }
  }
  void keep_connection() {
    claimed = false;
    handle = nullptr;
    context = false;
  }
};

void print_endpoint(const libusb_endpoint_descriptor &ep) {
  std::printf(" Endpoints Descriptor - Endpoint address = %2.2X\n", ep.bEndpointAddress);
  std::printf(" Endpoints Descriptor - Size Endpoint = %d\n", ep.bLength);
  std::printf(" Endpoints Descriptor - Type  descriptor= %d\n", ep.bDescriptorType);
  std::printf(" Endpoints Descriptor - Max packet size = %d\n", ep.wMaxPacketSize);
  std::puts(" ************************************* \n");
}

// Learns the endpoints from the first interface. The interface number is
// taken from the index of the alternate setting: the printer has a single
// alternate setting on interface 0, so this is 0 for it.
intptr_t walk_endpoints(const libusb_config_descriptor *config) {
  const libusb_interface *first = config->bNumInterfaces >= 1 ? &config->interface[0] : nullptr;
  intptr_t result = 0;
  if (first == nullptr || first->num_altsetting < 1) {
    result = Q48_API_NO_ALTSETTING;
  }
  for (int i = 0; result == 0 && i < first->num_altsetting; ++i) {
    const libusb_interface_descriptor &alt = first->altsetting[i];
    if (debug_enabled()) {
      std::printf(" Endpoints count = %d\n", alt.bNumEndpoints);
    }
    Q48_API_INTERFACE = i;
    if (alt.bNumEndpoints < 2) {
      result = Q48_API_TOO_FEW_ENDPOINTS;
    } else {
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &ep = alt.endpoint[e];
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) {
          Q48_API_ACCESS_READ = ep.bEndpointAddress;
          Q48_API_ACCESS_READ_ENDPOINT_SIZE = ep.wMaxPacketSize;
        } else {
          Q48_API_ACCESS_WRITE = ep.bEndpointAddress;
        }
        if (debug_enabled()) {
          print_endpoint(ep);
        }
      }
      if (debug_enabled()) {
        std::printf(" Endpoint READ = 0x%2.2X\n", Q48_API_ACCESS_READ);
        std::printf(" Endpoint WRITE= 0x%2.2X\n", Q48_API_ACCESS_WRITE);
      }
    }
  }
  return result;
}

intptr_t open_handle(open_attempt &attempt, libusb_device *device) {
  intptr_t result = 0;
  if (libusb_open(device, &attempt.handle) != 0) {
    attempt.handle = nullptr;
    result = Q48_API_OPEN_FAILED;
  } else if (reinterpret_cast<intptr_t>(attempt.handle) == s_last_ended) {
    // The heap gave the dead handle's memory straight back, so the caller's
    // old handle would reach this connection. Opened again while this one
    // is held, the device gets a handle at another address.
    libusb_device_handle *again = nullptr;
    if (libusb_open(device, &again) == 0) {
      libusb_close(attempt.handle);
      attempt.handle = again;
    }
  }
  if (result == 0 && reinterpret_cast<intptr_t>(attempt.handle) < 0) {
    // The handle travels as a signed integer whose negative values are error
    // codes; a device handle at an address with the top bit set (possible on
    // a 32-bit system) cannot be told apart from one and is refused.
    result = Q48_API_OPEN_FAILED;
  }
  return result;
}

intptr_t configure(libusb_device_handle *handle, libusb_device *device) {
  int configuration = -1;
  (void)libusb_get_configuration(handle, &configuration);
  if (debug_enabled()) {
    std::printf(" Configuration = %d\n", configuration);
  }
  if (configuration != kConfiguration) {
    (void)libusb_set_configuration(handle, kConfiguration);
  }
  intptr_t result = Q48_API_NO_CONFIG;
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) == 0) {
    // Only the walk needs the descriptor.
    result = walk_endpoints(config);
    libusb_free_config_descriptor(config);
  } else if (debug_enabled()) {
    std::puts(" Active config Error  ");
  }
  return result;
}

intptr_t detach(libusb_device_handle *handle) {
  intptr_t result = 0;
  if (libusb_kernel_driver_active(handle, Q48_API_INTERFACE) == 1 &&
      libusb_detach_kernel_driver(handle, Q48_API_INTERFACE) != 0) {
    result = Q48_API_DETACH_FAILED;
  }
  return result;
}

intptr_t claim(libusb_device_handle *handle) {
  const stopwatch start_time;
  intptr_t result = 0;
  int claimed = 0;
  while ((claimed = libusb_claim_interface(handle, Q48_API_INTERFACE)) != 0) {
    // A printer unplugged since the listing never frees up: waiting out the
    // budget would only report it as held by another program.
    if (claimed == LIBUSB_ERROR_NO_DEVICE) {
      result = Q48_API_OPEN_FAILED;
      break;
    }
    // A driver may have bound again since the first detach.
    const int detached = libusb_detach_kernel_driver(handle, Q48_API_INTERFACE);
    if (debug_enabled()) {
      std::printf(" DETACH error = %d \n", detached);
    }
    sleep_ms(kClaimStepMs);
    if (start_time.elapsed_ms() >= kClaimBudgetMs) {
      result = Q48_API_CLAIM_TIMEOUT;
      break;
    }
  }
  return result;
}

intptr_t check_identity(libusb_device *device) {
  // Zeroed, so that a descriptor that cannot be read counts as another device.
  libusb_device_descriptor descriptor{};
  (void)libusb_get_device_descriptor(device, &descriptor);
  intptr_t result = Q48_API_NO_PRINTER;
  if (descriptor.idVendor == kVendorId && descriptor.idProduct == kProductId) {
    result = 0;
    if (debug_enabled()) {
      std::puts(" Vendor OK ");
    }
  }
  return result;
}

intptr_t set_up_ring() {
  intptr_t result = Q48_API_NO_MEMORY;
  auto *ring = static_cast<unsigned char *>(std::malloc(kRxRingSize));
  if (ring != nullptr) {
    m_pub_rx_buffer = ring;
    reset_ring();
    result = 0;
  }
  return result;
}

// Opens, configures and claims the device found in the list; every step
// records in `attempt` what must be given back if a later one fails.
intptr_t open_device(open_attempt &attempt, libusb_device *device) {
  intptr_t result = open_handle(attempt, device);
  if (result == 0) {
    result = configure(attempt.handle, device);
  }
  if (result == 0) {
    result = detach(attempt.handle);
  }
  if (result == 0) {
    result = claim(attempt.handle);
    attempt.claimed = result == 0;
  }
  if (result == 0) {
    result = check_identity(device);
  }
  if (result == 0) {
    result = set_up_ring();
  }
  if (result == 0) {
    result = reinterpret_cast<intptr_t>(attempt.handle);
  }
  return result;
}

intptr_t open_on_bus(int connection_bus, int connection_device) {
  open_attempt attempt;
  intptr_t result = Q48_API_OPEN_FAILED;
  // Without a context nothing can be listed, and there is nothing to end.
  attempt.context = libusb_init(nullptr) == 0;
  const ssize_t n_devices = attempt.context ? libusb_get_device_list(nullptr, &attempt.list)
                                            : ssize_t{LIBUSB_ERROR_OTHER};
  if (n_devices < 0) {
    attempt.list = nullptr;
  } else {
    result = Q48_API_NO_PRINTER;
    for (ssize_t i = 0; i < n_devices; ++i) {
      libusb_device *device = attempt.list[i];
      if (device != nullptr && libusb_get_bus_number(device) == connection_bus &&
          libusb_get_device_address(device) == connection_device) {
        result = open_device(attempt, device);
        break;
      }
    }
  }
  if (result >= 0) {
    s_connection = attempt.handle;
    attempt.keep_connection();
  }
  return result;
}

// Reads a path component as atoi does ("011" is 11, "x" is 0), but with a
// defined result for digits beyond int: they match no bus and no device.
int component_number(const char *token) {
  const long v = std::strtol(token, nullptr, 10);
  return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

void path_numbers(char *port, int &bus, int &device) {
  int token_index = 0;
  for (char *token = std::strtok(port, "/"); token != nullptr; token = std::strtok(nullptr, "/")) {
    ++token_index;
    if (token_index == kBusToken) {
      bus = component_number(token);
    } else if (token_index == kDeviceToken) {
      device = component_number(token);
    }
  }
}

void end_connection(libusb_device_handle *handle) {
  (void)libusb_release_interface(handle, Q48_API_INTERFACE);
  libusb_close(handle);
  std::free(m_pub_rx_buffer);
  m_pub_rx_buffer = nullptr;
  m_index_rx_top = 0;
  m_index_rx_bottom = 0;
  libusb_exit(nullptr);
  s_connection = nullptr;
  s_last_ended = reinterpret_cast<intptr_t>(handle);
}

struct error_name {
  int code;
  const char *name;
};
constexpr std::array<error_name, 10> kReadErrorNames{{
    {LIBUSB_ERROR_TIMEOUT, "TIMEOUT"},
    {LIBUSB_ERROR_PIPE, "PIPE"},
    {LIBUSB_ERROR_OVERFLOW, "OVERFLOW"},
    {LIBUSB_ERROR_NO_DEVICE, "NO DEVICE"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM"},
}};

void print_read_pass(const unsigned char *packet, int count, int error) {
  std::printf("\n Transfered = %d \n", count);
  for (int i = 0; i < count && i < Q48_API_ACCESS_READ_ENDPOINT_SIZE; ++i) {
    // Diagnostics only: a closed standard output must not change the read.
    (void)std::fprintf(stdout, "[%2.2X] ", packet[i]);
    (void)std::fflush(stdout);
  }
  std::puts("\n ");
  if (count < 1) {
    std::printf("error = %d, count = %d\n", error, count);
    for (const error_name &e : kReadErrorNames) {
      if (e.code == error) {
        std::printf("READ %s %d\n", e.name, error);
      }
    }
  }
}

// Fills the ring one packet at a time until it holds `size` bytes, the time
// runs out, or a packet would not fit; returns 0 or the code of the misfit.
int receive(libusb_device_handle *handle, unsigned char *read_buffer, int size,
            unsigned long timeout_ms, const stopwatch &start_time) {
  const auto packet_size = static_cast<size_t>(Q48_API_ACCESS_READ_ENDPOINT_SIZE) + 1;
  int current_buffer_size = buffer_get_rx_count();
  int free_buffer_size = buffer_get_rx_free();
  int result = 0;
  while (current_buffer_size < size) {
    // A packet read from the printer cannot be given back: ask for one only
    // while the ring can take a whole one, and leave the rest of the answer
    // with the printer for a smaller read.
    if (Q48_API_ACCESS_READ_ENDPOINT_SIZE >= free_buffer_size) {
      result = Q48_API_ACCESS_READ_ENDPOINT_SIZE > free_buffer_size ? Q48_API_READ_NO_ROOM
                                                                    : Q48_API_READ_RING_FULL;
      break;
    }
    int count = 0;
    std::memset(read_buffer, 0, packet_size);
    const int error =
        libusb_bulk_transfer(handle, endpoint(Q48_API_ACCESS_READ), read_buffer,
                             Q48_API_ACCESS_READ_ENDPOINT_SIZE, &count, kTransferTimeoutMs);
    if (debug_enabled()) {
      print_read_pass(read_buffer, count, error);
    }
    if (count < 1) {
      sleep_ms(sleep_step_ms(timeout_ms));
    }
    // The check above makes room for a whole packet; the store's own
    // admission still guards the ring against a transfer that reports more.
    if (buffer_set_rx_data(read_buffer, count) != 1) {
      result = Q48_API_READ_RING_FULL;
      break;
    }
    current_buffer_size = buffer_get_rx_count();
    free_buffer_size = buffer_get_rx_free();
    if (debug_enabled()) {
      std::printf("Read count bytes = %d, free buffer size = %d, current buffer = %d \n", count,
                  free_buffer_size, current_buffer_size);
    }
    if (start_time.elapsed_ms() >= timeout_ms) {
      break;
    }
  }
  return result;
}

} // namespace

bool is_live(intptr_t printer) { return connection_of(printer) != nullptr; }

void end_live_connection() {
  if (s_connection != nullptr) {
    end_connection(s_connection);
  }
}

intptr_t open(char *port) {
  // One connection per process: a new open ends the earlier one, so that its
  // claim, handle, ring and context are not left behind.
  end_live_connection();
  int connection_bus = -1;
  int connection_device = -1;
  path_numbers(port, connection_bus, connection_device);
  intptr_t result = Q48_API_NO_PRINTER;
  if (connection_bus != -1 && connection_device != -1) {
    result = open_on_bus(connection_bus, connection_device);
  }
  return result;
}

void close(intptr_t printer) {
  libusb_device_handle *handle = connection_of(printer);
  if (handle != nullptr) {
    end_connection(handle);
  }
}

// Drops what the printer has pending. A silent printer gets the budget's
// time to send a late answer. Once bytes come, the clear reads on until a
// transfer brings none, so no rest of a long answer is left to pass for the
// answer to the next command; a printer that never stops talking is cut off
// after the whole budget.
int clear(intptr_t printer) {
  libusb_device_handle *handle = connection_of(printer);
  int result = 0;
  if (handle != nullptr) {
    const unsigned long timeout_ms = kClearBudgetMs;
    const stopwatch start_time;
    // At least one packet per transfer: a packet longer than the transfer
    // would overflow it and be lost unseen.
    std::array<unsigned char, kClearChunkMax> data{};
    const int length =
        std::clamp(Q48_API_ACCESS_READ_ENDPOINT_SIZE, kClearChunk, static_cast<int>(data.size()));
    bool brought_bytes = false;
    for (;;) {
      int count = 0;
      if (debug_enabled()) {
        std::printf(" Start bulk data = %d \n", Q48_API_ACCESS_READ);
      }
      const int ret = libusb_bulk_transfer(handle, endpoint(Q48_API_ACCESS_READ), data.data(),
                                           length, &count, kTransferTimeoutMs);
      if (debug_enabled()) {
        std::printf(" Clear read - ret = %d / %d \n", count, ret);
      }
      if (count > 0) {
        brought_bytes = true;
      } else if (brought_bytes) {
        break;
      } else {
        sleep_ms(sleep_step_ms(timeout_ms));
        if (start_time.elapsed_ms() >= timeout_ms) {
          break;
        }
      }
      if (start_time.elapsed_ms() >= kClearLimitMs) {
        break;
      }
    }
    reset_ring();
    result = 1;
  }
  return result;
}

int write(intptr_t printer, unsigned char *data, int size, unsigned long timeout_ms) {
  libusb_device_handle *handle = connection_of(printer);
  int result = 0;
  const stopwatch start_time;
  while (handle != nullptr && result < size) {
    if (debug_enabled()) {
      std::printf("Startig wirting = %d\n", Q48_API_ACCESS_WRITE);
    }
    int count = 0;
    // A transfer cut short by its time-out or a stall still reports the bytes
    // that went out. They count, whatever the transfer returns, so that the
    // next pass resumes after them and no byte is printed twice.
    (void)libusb_bulk_transfer(handle, endpoint(Q48_API_ACCESS_WRITE), data + result, size - result,
                               &count, kTransferTimeoutMs);
    if (count > size - result) {
      count = size - result;
    }
    if (count > 0) {
      if (debug_enabled()) {
        std::printf("Written = %d, size = %d\n", count, size);
      }
      result += count;
    } else {
      sleep_ms(sleep_step_ms(timeout_ms));
    }
    if (start_time.elapsed_ms() >= timeout_ms) {
      break;
    }
  }
  return result;
}

int read(intptr_t printer, unsigned char *data, int size, unsigned long timeout_ms) {
  libusb_device_handle *handle = connection_of(printer);
  int result = 0;
  if (handle != nullptr) {
    const stopwatch start_time;
    const auto packet_size = static_cast<size_t>(Q48_API_ACCESS_READ_ENDPOINT_SIZE) + 1;
    auto *read_buffer = static_cast<unsigned char *>(std::malloc(packet_size));
    const scope_exit free_buffer([read_buffer] { std::free(read_buffer); });
    if (read_buffer == nullptr) {
      result = Q48_API_READ_NO_MEMORY;
    } else {
      std::memset(read_buffer, 0, packet_size);
      result = receive(handle, read_buffer, size, timeout_ms, start_time);
      if (result == 0 && buffer_get_rx_count() >= size) {
        result = buffer_get_rx_data(data, size);
      }
    }
  }
  return result;
}

} // namespace q48::usb
