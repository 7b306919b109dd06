#include "q48_open_codes.h"

#include <algorithm>
#include <array>

#include "Q48_Api.h"

namespace q48 {
namespace {

constexpr std::array<open_code, 8> kOpenCodes{{
    {Q48_API_OPEN_FAILED, "the device cannot be opened (missing, or no permission)"},
    {Q48_API_NO_PRINTER, "no printer there (unknown kind of path, no USB device at that "
                         "address, or not a Q48 printer)"},
    {Q48_API_DETACH_FAILED, "a kernel driver holds the USB interface and cannot be detached"},
    {Q48_API_CLAIM_TIMEOUT, "the USB interface stayed busy for 1000 ms (another program "
                            "uses the printer)"},
    {Q48_API_NO_CONFIG, "the USB configuration cannot be read"},
    {Q48_API_NO_ALTSETTING, "the USB interface has no alternate setting"},
    {Q48_API_TOO_FEW_ENDPOINTS, "the USB interface has fewer than two endpoints"},
    {Q48_API_NO_MEMORY, "no memory for the receive buffer"},
}};

} // namespace

std::span<const open_code> open_codes() { return kOpenCodes; }

const char *open_meaning(intptr_t code) {
  const auto *found = std::find_if(kOpenCodes.begin(), kOpenCodes.end(),
                                   [code](const open_code &c) { return c.code == code; });
  return found == kOpenCodes.end() ? "unknown error" : found->meaning;
}

} // namespace q48
