// The backend's side of cupsd's channels, spoken directly rather than through
// libcups: linking libcups loads GnuTLS, Kerberos and Avahi into every job's
// backend, which on its own made a one-byte job half again as slow as a
// backend that only reads its job. The messages are those of CUPS's
// <cups/backend.h> and <cups/sidechannel.h>, whose constants they use.
#ifndef Q48_CHANNELS_H
#define Q48_CHANNELS_H

#include <cstddef>

#include <cups/sidechannel.h>

namespace q48 {

// DEVICE_URI, or argv[0] where cupsd passes the URI there; null when neither
// holds one.
const char *device_uri(char **argv);

// Writes n bytes to the back channel (descriptor 3) within timeout_ms; false
// when they could not all go (nobody reads it, or it is closed).
bool back_channel_write(const unsigned char *data, std::size_t n, int timeout_ms);

// One side-channel request: a command, a status, and up to 65535 bytes.
struct side_request {
  cups_sc_command_t command = CUPS_SC_CMD_NONE;
  cups_sc_status_t status = CUPS_SC_STATUS_NONE;
  unsigned char data[65536];
  std::size_t size = 0;
};

// Reads the request waiting on the side channel (descriptor 4), if one is
// there now; false when none is, or the channel is closed.
bool side_channel_read(side_request &request);
// Answers command with status and n bytes of data (65535 at most).
bool side_channel_write(cups_sc_command_t command, cups_sc_status_t status,
                        const unsigned char *data, std::size_t n);

} // namespace q48

#endif // Q48_CHANNELS_H
