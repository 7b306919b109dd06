// What the library's USB path costs on top of libusb, on the emulated
// printer in this process:
//   - 1 MiB written through Q48_api_printer_write against one direct
//     libusb_bulk_transfer of the same bytes;
//   - 64 KiB of answers read through the receive ring (64-byte reads, one
//     packet each) against direct 64-byte IN transfers;
//   - the CPU time a read uses while it waits 2 s on a silent printer.
// Each pair is timed in alternating rounds in the same run; medians are
// reported. Run under umockdev's preload:
//
//   LD_PRELOAD=libumockdev-preload.so.0 build/bench/bench/q48_usb_path_bench
//
// The emulated printer runs its handler in a thread of this process, so the
// process's CPU time includes the printer's; the waiting thread's own time
// is shown beside it.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/resource.h>

#include <libusb.h>

#include "Q48_Api.h"
#include "q48_emulated_printer.h"

namespace {

constexpr int kRounds = 7;
constexpr int kWriteSize = 1 << 20;
constexpr int kPacket = 64;
constexpr int kReadTotal = 64 * 1024;
constexpr unsigned long kTimeoutMs = 20000;

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_s(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

double median(std::array<double, kRounds> v) {
  std::sort(v.begin(), v.end());
  return v[kRounds / 2];
}

// A direct libusb connection to the printer, claimed as the library claims it.
struct direct_usb {
  libusb_context *ctx = nullptr;
  libusb_device_handle *handle = nullptr;
  bool open(int bus, int address) {
    bool ok = libusb_init(&ctx) == 0;
    libusb_device **list = nullptr;
    const ssize_t n = ok ? libusb_get_device_list(ctx, &list) : -1;
    for (ssize_t i = 0; i < n && handle == nullptr; i++) {
      if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address &&
          libusb_open(list[i], &handle) != 0) {
        handle = nullptr;
      }
    }
    if (n >= 0) {
      libusb_free_device_list(list, 1);
    }
    return handle != nullptr && libusb_claim_interface(handle, 0) == 0;
  }
  ~direct_usb() {
    if (handle != nullptr) {
      libusb_release_interface(handle, 0);
      libusb_close(handle);
    }
    if (ctx != nullptr) {
      libusb_exit(ctx);
    }
  }
};

intptr_t open_library(q48_emu *emu) {
  char path[64];
  std::snprintf(path, sizeof path, "%s", q48_emu_device_path(emu));
  return Q48_api_printer_open(path);
}

bool time_writes(q48_emu *emu, unsigned char *data, double *library, double *direct) {
  bool ok = true;
  std::array<double, kRounds> lib{}, dir{};
  for (int r = 0; r < kRounds && ok; r++) {
    q48_emu_clear_received(emu);
    const intptr_t h = open_library(emu);
    double t = now_s();
    ok = h >= 0 && Q48_api_printer_write(h, data, kWriteSize, kTimeoutMs) == kWriteSize;
    lib[static_cast<std::size_t>(r)] = now_s() - t;
    Q48_api_printer_close(h);
    ok = ok && q48_emu_received(emu, nullptr, 0) == static_cast<std::size_t>(kWriteSize);

    q48_emu_clear_received(emu);
    direct_usb d;
    ok = ok && d.open(1, 11);
    int done = 0;
    t = now_s();
    ok = ok &&
         libusb_bulk_transfer(d.handle, 0x02, data, kWriteSize, &done,
                              static_cast<unsigned>(kTimeoutMs)) == 0 &&
         done == kWriteSize;
    dir[static_cast<std::size_t>(r)] = now_s() - t;
  }
  *library = median(lib);
  *direct = median(dir);
  return ok && q48_emu_received(emu, nullptr, 0) == static_cast<std::size_t>(kWriteSize);
}

void queue_answers(q48_emu *emu) {
  unsigned char packet[kPacket];
  for (int i = 0; i < kReadTotal / kPacket; i++) {
    std::memset(packet, i & 0xFF, sizeof packet);
    q48_emu_queue_answer(emu, packet, sizeof packet);
  }
}

bool time_reads(q48_emu *emu, double *library, double *direct) {
  bool ok = true;
  std::array<double, kRounds> lib{}, dir{};
  unsigned char buf[kPacket];
  for (int r = 0; r < kRounds && ok; r++) {
    queue_answers(emu);
    const intptr_t h = open_library(emu);
    double t = now_s();
    for (int got = 0; ok && got < kReadTotal; got += kPacket) {
      ok = Q48_api_printer_read(h, buf, kPacket, kTimeoutMs) == kPacket;
    }
    lib[static_cast<std::size_t>(r)] = now_s() - t;
    Q48_api_printer_close(h);

    queue_answers(emu);
    direct_usb d;
    ok = ok && d.open(1, 11);
    t = now_s();
    for (int got = 0; ok && got < kReadTotal; got += kPacket) {
      int n = 0;
      ok = libusb_bulk_transfer(d.handle, 0x81, buf, kPacket, &n,
                                static_cast<unsigned>(kTimeoutMs)) == 0 &&
           n == kPacket;
    }
    dir[static_cast<std::size_t>(r)] = now_s() - t;
  }
  *library = median(lib);
  *direct = median(dir);
  return ok;
}

bool time_silent_wait(q48_emu *emu, double *wall, double *thread_cpu, double *process_cpu) {
  const intptr_t h = open_library(emu);
  unsigned char byte = 0;
  const double t = now_s();
  const double c_thread = cpu_s(RUSAGE_THREAD);
  const double c_process = cpu_s(RUSAGE_SELF);
  const int got = Q48_api_printer_read(h, &byte, 1, 2000);
  *thread_cpu = cpu_s(RUSAGE_THREAD) - c_thread;
  *process_cpu = cpu_s(RUSAGE_SELF) - c_process;
  *wall = now_s() - t;
  Q48_api_printer_close(h);
  return h >= 0 && got == 0;
}

// The same wait as one direct 2 s transfer: what waiting costs on the
// emulated printer at all, whoever waits.
bool time_silent_direct(double *thread_cpu) {
  direct_usb d;
  bool ok = d.open(1, 11);
  unsigned char byte = 0;
  int n = 0;
  const double c = cpu_s(RUSAGE_THREAD);
  ok = ok && libusb_bulk_transfer(d.handle, 0x81, &byte, 1, &n, 2000) == LIBUSB_ERROR_TIMEOUT;
  *thread_cpu = cpu_s(RUSAGE_THREAD) - c;
  return ok;
}

} // namespace

int main() {
  q48_emu *emu = q48_emu_new(nullptr);
  if (emu == nullptr) {
    std::fputs("cannot create the emulated printer (run under umockdev's preload)\n", stderr);
    return 1;
  }
  auto *data = static_cast<unsigned char *>(std::malloc(kWriteSize));
  for (int i = 0; i < kWriteSize; i++) {
    data[i] = static_cast<unsigned char>(i * 7);
  }
  int status = 0;
  double lib = 0, dir = 0;
  if (time_writes(emu, data, &lib, &dir)) {
    std::printf("write 1 MiB:   library %8.2f ms   direct libusb %8.2f ms   ratio %.2f\n",
                lib * 1e3, dir * 1e3, lib / dir);
  } else {
    std::puts("write 1 MiB: FAILED");
    status = 1;
  }
  if (time_reads(emu, &lib, &dir)) {
    std::printf("read 64 KiB:   library %8.2f ms   direct libusb %8.2f ms   ratio %.2f\n",
                lib * 1e3, dir * 1e3, lib / dir);
  } else {
    std::puts("read 64 KiB: FAILED");
    status = 1;
  }
  double wall = 0, thread_cpu = 0, process_cpu = 0;
  if (time_silent_wait(emu, &wall, &thread_cpu, &process_cpu)) {
    std::printf("silent read:   waited %.2f s, CPU %.3f s in the reading thread, "
                "%.3f s in the process (printer included)\n",
                wall, thread_cpu, process_cpu);
  } else {
    std::puts("silent read: FAILED");
    status = 1;
  }
  if (time_silent_direct(&thread_cpu)) {
    std::printf("silent direct: one 2 s libusb transfer, CPU %.3f s in the reading thread\n",
                thread_cpu);
  } else {
    std::puts("silent direct: FAILED");
    status = 1;
  }
  std::free(data);
  q48_emu_free(emu);
  return status;
}
