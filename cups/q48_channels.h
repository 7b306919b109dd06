// The backend's side of cupsd's channels, spoken directly rather than through
// libcups: linking libcups loads GnuTLS, Kerberos and Avahi into every job's
// backend, which on its own made a one-byte job half again as slow as a
// backend that only reads its job. The messages are those of CUPS's
// <cups/backend.h> and <cups/sidechannel.h>, whose constants they use, and
// the guarantees are libcups's: every wait is bounded, and a malformed
// request is refused rather than cut.
#ifndef Q48_CHANNELS_H
#define Q48_CHANNELS_H

#include <cstddef>

#include <cups/sidechannel.h>

namespace q48 {

// The back channel's descriptor; the side channel's is CUPS_SC_FD.
constexpr int kBackChannelFd = 3;

// Puts /dev/null on the channel descriptors that are not open. Run by hand,
// a backend has neither, and the first files it opened would get their
// numbers: the printer's answers would be read as requests, and the replies
// written into the printer. Call it first thing, before anything opens a
// file.
void claim_channel_descriptors();

// DEVICE_URI, or argv[0] where cupsd passes the URI there; null when neither
// holds one.
const char *device_uri(char **argv);

// Writes n bytes to the back channel within timeout_ms; false when they
// could not all go (nobody reads it, or it is closed).
bool back_channel_write(const unsigned char *data, std::size_t n, int timeout_ms);

// One side-channel request: a command, a status, and up to 65535 bytes.
struct side_request {
  cups_sc_command_t command = CUPS_SC_CMD_NONE;
  cups_sc_status_t status = CUPS_SC_STATUS_NONE;
  unsigned char data[65536];
  std::size_t size = 0;
  // Its declared length exceeds what arrived: refuse it, act on nothing.
  bool truncated = false;
};

enum class side_read { none, request, closed };

// Reads the request waiting on the side channel, if one is there now.
// `closed` once the other end has gone (end of file, or an error): the
// caller stops looking.
side_read side_channel_read(side_request &request);
// Answers command with status and n bytes of data (65535 at most), waiting
// at most timeout_ms for room: a filter that never reads its answers must
// not hold the backend. False when the answer did not go out whole; the
// channel is then out of step and no use any more.
bool side_channel_write(cups_sc_command_t command, cups_sc_status_t status,
                        const unsigned char *data, std::size_t n, int timeout_ms);

} // namespace q48

#endif // Q48_CHANNELS_H
