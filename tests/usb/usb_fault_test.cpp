// Open and read where a fault cannot come from the emulated printer: libusb
// that cannot start, list or open, a configuration descriptor that cannot be
// read, and allocations that fail. Each fake below replaces one libusb or C
// library function of the process and passes through unless armed; all else
// is the real libusb against the emulated printer.

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <libusb.h>

#include "usb_fixture.h"

namespace {

bool g_fail_init = false;
bool g_fail_device_list = false;
bool g_fail_open = false;
bool g_fail_config = false;
size_t g_fail_alloc_size = 0; // the next allocation of this size by libQ48Api fails
int g_init_calls = 0;
int g_exit_calls = 0;
int g_live_contexts = 0; // contexts started and not yet ended

template <typename F> F next_definition(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

[[maybe_unused]] bool called_from_library(void *return_address) {
  Dl_info info{};
  return dladdr(return_address, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "libQ48Api") != nullptr;
}

} // namespace

extern "C" {

// AddressSanitizer owns the allocator and needs it before anything else
// runs, so under it the allocation fakes are left out.
#if !defined(__SANITIZE_ADDRESS__)
#define Q48_FAKE_ALLOCATION 1
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
}

namespace {
std::atomic<int> g_fake_allocations{0}; // calls that reached the fakes below

bool fails_now(size_t size, void *return_address) {
  ++g_fake_allocations;
  const bool fail =
      g_fail_alloc_size != 0 && size == g_fail_alloc_size && called_from_library(return_address);
  if (fail) {
    g_fail_alloc_size = 0;
  }
  return fail;
}
} // namespace

extern "C" {

// Stand in for memory running out at one allocation of the library (the
// compiler may turn an allocation that is zero-filled next into calloc).
__attribute__((visibility("default"))) void *malloc(size_t size) {
  if (fails_now(size, __builtin_return_address(0))) {
    return nullptr;
  }
  return __libc_malloc(size);
}
__attribute__((visibility("default"))) void *calloc(size_t n, size_t size) {
  if (fails_now(n * size, __builtin_return_address(0))) {
    return nullptr;
  }
  return __libc_calloc(n, size);
}
#endif

// Stands in for a system where libusb cannot set up its context.
__attribute__((visibility("default"))) int libusb_init(libusb_context **ctx) {
  ++g_init_calls;
  const int result = g_fail_init ? LIBUSB_ERROR_OTHER
                                 : next_definition<int (*)(libusb_context **)>("libusb_init")(ctx);
  g_live_contexts += result == 0 ? 1 : 0;
  return result;
}

__attribute__((visibility("default"))) void libusb_exit(libusb_context *ctx) {
  ++g_exit_calls;
  --g_live_contexts;
  next_definition<void (*)(libusb_context *)>("libusb_exit")(ctx);
}

// Stands in for a bus that cannot be enumerated.
__attribute__((visibility("default"))) ssize_t libusb_get_device_list(libusb_context *ctx,
                                                                      libusb_device ***list) {
  return g_fail_device_list ? ssize_t{LIBUSB_ERROR_NO_MEM}
                            : next_definition<ssize_t (*)(libusb_context *, libusb_device ***)>(
                                  "libusb_get_device_list")(ctx, list);
}

// Stands in for a device node that this process may not open.
__attribute__((visibility("default"))) int libusb_open(libusb_device *dev,
                                                       libusb_device_handle **dev_handle) {
  return g_fail_open ? LIBUSB_ERROR_ACCESS
                     : next_definition<int (*)(libusb_device *, libusb_device_handle **)>(
                           "libusb_open")(dev, dev_handle);
}

// Stands in for a device whose active configuration cannot be read.
__attribute__((visibility("default"))) int
libusb_get_active_config_descriptor(libusb_device *dev, libusb_config_descriptor **config) {
  return g_fail_config ? LIBUSB_ERROR_NOT_FOUND
                       : next_definition<int (*)(libusb_device *, libusb_config_descriptor **)>(
                             "libusb_get_active_config_descriptor")(dev, config);
}

} // extern "C"

namespace q48usbtest {
namespace {

// Under AddressSanitizer the fakes are left out, and under valgrind its own
// allocator takes malloc's place; then no allocation can be failed.
bool can_fail_allocations() {
#if defined(Q48_FAKE_ALLOCATION)
  const int before = g_fake_allocations;
  void *(*volatile allocate)(size_t) = std::malloc;
  std::free(allocate(24));
  return g_fake_allocations != before;
#else
  return false;
#endif
}

class UsbFault : public UsbPrinter {
protected:
  UsbFault() { g_init_calls = g_exit_calls = g_live_contexts = 0; }
  ~UsbFault() override {
    g_fail_init = g_fail_device_list = g_fail_open = g_fail_config = false;
    g_fail_alloc_size = 0;
  }
  static void expect_context_ended() {
    EXPECT_EQ(g_init_calls, 1);
    EXPECT_EQ(g_live_contexts, 0);
  }
};

TEST_F(UsbFault, ContextThatCannotStartGivesOpenFailedAndIsNotEnded) {
  plug_in();
  g_fail_init = true;
  EXPECT_EQ(open_path(), Q48_API_OPEN_FAILED);
  EXPECT_EQ(g_init_calls, 1);
  EXPECT_EQ(g_exit_calls, 0);
  EXPECT_EQ(stats().opens, 0);
  expect_nothing_left();
}

TEST_F(UsbFault, DeviceListFailureGivesOpenFailedAndEndsTheContext) {
  plug_in();
  g_fail_device_list = true;
  EXPECT_EQ(open_path(), Q48_API_OPEN_FAILED);
  expect_context_ended();
  expect_nothing_left();
}

TEST_F(UsbFault, DeviceThatCannotBeOpenedGivesOpenFailed) {
  plug_in();
  g_fail_open = true;
  EXPECT_EQ(open_path(), Q48_API_OPEN_FAILED);
  expect_context_ended();
  expect_nothing_left();
}

TEST_F(UsbFault, UnreadableConfigurationGivesNoConfigAndClosesTheDevice) {
  plug_in();
  g_fail_config = true;
  DEBUG_MESSAGES = 1;
  intptr_t result = 0;
  const std::string text = printed([&] { result = open_path(); });
  EXPECT_EQ(result, Q48_API_NO_CONFIG);
  EXPECT_EQ(text, " Configuration = 1\n Active config Error  \n");
  expect_context_ended();
  expect_nothing_left();
}

TEST_F(UsbFault, RingThatCannotBeAllocatedGivesNoMemoryAndReleasesTheClaim) {
  if (!can_fail_allocations()) {
    GTEST_SKIP() << "allocations cannot be failed here (AddressSanitizer or valgrind)";
  }
  plug_in();
  g_fail_alloc_size = 1024;
  EXPECT_EQ(open_path(), Q48_API_NO_MEMORY);
  EXPECT_EQ(g_fail_alloc_size, 0u) << "the ring's allocation was the one that failed";
  EXPECT_EQ(stats().releases, 1);
  expect_context_ended();
  expect_nothing_left();
}

TEST_F(UsbFault, ReadWithoutScratchMemoryGivesMinusOneAndLeavesTheRing) {
  if (!can_fail_allocations()) {
    GTEST_SKIP() << "allocations cannot be failed here (AddressSanitizer or valgrind)";
  }
  connect();
  const auto answer = bytes(64);
  q48_emu_queue_answer(emu, answer.data(), answer.size());
  unsigned char got[20] = {};
  ASSERT_EQ(Q48_api_printer_read(handle, got, 10, 1000), 10);
  const int urbs = stats().in_urbs;
  g_fail_alloc_size = static_cast<size_t>(Q48_API_ACCESS_READ_ENDPOINT_SIZE) + 1;
  EXPECT_EQ(Q48_api_printer_read(handle, got, 20, 1000), -1);
  EXPECT_EQ(stats().in_urbs, urbs);
  EXPECT_EQ(m_index_rx_top - m_index_rx_bottom, 54);
  EXPECT_EQ(Q48_api_printer_read(handle, got, 20, 1000), 20);
  EXPECT_TRUE(std::equal(answer.begin() + 10, answer.begin() + 30, got));
}

TEST_F(UsbFault, EveryConnectionEndsTheContextItStarted) {
  plug_in();
  const intptr_t first = open_path();
  ASSERT_GE(first, 0);
  EXPECT_EQ(g_exit_calls, 0);
  handle = open_path();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(g_exit_calls, 1);
  Q48_api_printer_close(first);
  EXPECT_EQ(g_exit_calls, 1);
  Q48_api_printer_close(handle);
  handle = -1;
  EXPECT_EQ(g_init_calls, 2);
  EXPECT_EQ(g_exit_calls, 2);
  expect_nothing_left();
}

} // namespace
} // namespace q48usbtest
