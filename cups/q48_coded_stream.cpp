#include "q48_coded_stream.h"

#include <climits>

#include "Q48_Tb.h"

namespace q48 {
namespace {

bool is_hex_digit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Releases a command object on every way out.
struct command_guard {
  int cmd;
  explicit command_guard(int c) : cmd(c) {}
  command_guard(const command_guard &) = delete;
  command_guard &operator=(const command_guard &) = delete;
  ~command_guard() { Q48_tb_cmd_exit(cmd); }
};

} // namespace

// The same rules, in the same order, as the toolbox's walk, but only for
// what they do to the state; the bytes they yield come from the toolbox.
std::size_t coded_stream::follow(const unsigned char *text, std::size_t from, std::size_t to) {
  state &s = m_state;
  std::size_t i = from;
  for (; i < to && !m_ended; i++) {
    const unsigned char c = text[i];
    if (s.ascii) {
      s.ascii = c != '"';
    } else if (c == '/' && i + 1 == to) {
      break; // a comment or a lone slash: the next piece tells
    } else if (c == '/' && i + 1 < to && text[i + 1] == '/') {
      m_ended = true;
      i++; // the comment's second slash belongs to this piece
    } else if (c == ' ' || c == '\t') {
      // Blanks change nothing, not even a pending escape.
    } else if (s.backslash) {
      s.backslash = false;
      if (c == 'A' || c == 'a' || c == 'X' || c == 'x') {
        s.hex = c == 'X' || c == 'x';
        s.digit = 0;
      }
    } else if (c == '\\') {
      s.backslash = true;
    } else if (c == '"') {
      s.ascii = true;
    } else if (s.hex) {
      if (!is_hex_digit(c)) {
        s.hex = false;
        s.digit = 0;
      } else {
        s.digit = static_cast<char>(s.digit == 0 ? c : 0);
      }
    } else if (c == '[') {
      s.hex = true;
      s.digit = 0;
    }
  }
  return i;
}

bool coded_stream::convert(const unsigned char *text, std::size_t n) {
  if (n == 0) {
    return true;
  }
  const command_guard command(
      n <= INT_MAX
          ? Q48_tb_cmd_init_coded(const_cast<unsigned char *>(text), static_cast<unsigned int>(n))
          : 0);
  unsigned char *raw = nullptr;
  unsigned int raw_size = 0;
  if (command.cmd == 0 || Q48_tb_cmd_get_raw(command.cmd, &raw, &raw_size) == 0) {
    return false;
  }
  m_raw_bytes += raw_size;
  return raw_size == 0 || m_out(m_context, raw, raw_size);
}

// Starts the next piece with the bytes that lead from the initial state to
// the current one without yielding a byte.
void coded_stream::reopen() {
  m_piece.size = 0;
  unsigned char opening[4];
  std::size_t n = 0;
  if (m_state.hex) {
    opening[n++] = '[';
    if (m_state.digit != 0) {
      opening[n++] = static_cast<unsigned char>(m_state.digit);
    }
  }
  if (m_state.ascii) {
    opening[n++] = '"';
  } else if (m_state.backslash) {
    opening[n++] = '\\';
  }
  (void)m_piece.append(opening, n); // three bytes at most, into a buffer that held a piece
}

bool coded_stream::feed(const unsigned char *text, std::size_t n) {
  m_text_bytes += n;
  if (m_ended || n == 0) {
    return true;
  }
  // The piece: the opening, a '/' held back from the last feed, the new text.
  const std::size_t from = m_piece.size - (m_held_slash ? 1 : 0);
  if (!m_piece.append(text, n)) {
    return false;
  }
  const std::size_t stop = follow(m_piece.data, from, m_piece.size);
  m_held_slash = !m_ended && stop < m_piece.size;
  const bool ok = convert(m_piece.data, stop);
  reopen();
  if (m_held_slash) {
    const unsigned char slash = '/';
    (void)m_piece.append(&slash, 1);
  }
  return ok;
}

bool coded_stream::finish() {
  bool ok = true;
  if (!m_ended && m_held_slash) {
    // The text ends after the '/': no comment, and the toolbox takes it as
    // the state it meets has it.
    ok = convert(m_piece.data, m_piece.size);
  }
  m_ended = true;
  m_held_slash = false;
  return ok;
}

} // namespace q48
