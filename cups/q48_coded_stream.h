// Coded command text converted as it arrives, in pieces of any size, into
// exactly the bytes that converting the whole text at once gives
// (Q48_tb_cmd_init_coded), with memory bounded by the largest piece.
//
// A piece cannot simply be converted on its own: a quoted run, hex mode with
// a pending digit or an escape may be open where it ends, and a '/' at its
// end may start a comment with the first byte of the next one. The stream
// follows the notation's state from piece to piece, and opens the next piece
// with the few bytes that put the conversion back into that state ("[", the
// pending digit, '"' or '\'), none of which yields a byte. A trailing '/' is
// held back until the next byte shows whether it starts a comment. A
// comment ends the conversion: what follows it is ignored.
#ifndef Q48_CODED_STREAM_H
#define Q48_CODED_STREAM_H

#include <cstddef>

#include "q48_byte_buffer.h"

namespace q48 {

class coded_stream {
public:
  // Receives the printer bytes in order; false stops the stream.
  using sink = bool (*)(void *context, const unsigned char *bytes, std::size_t n);

  coded_stream(sink out, void *context) : m_out(out), m_context(context) {}

  // Converts the next n bytes of text, as far as they can be converted yet.
  // False when the toolbox has no memory or the sink failed.
  bool feed(const unsigned char *text, std::size_t n);
  // The text has ended: converts what was held back.
  bool finish();

  // A comment has ended the conversion; further text changes nothing.
  bool ended() const { return m_ended; }
  unsigned long long text_bytes() const { return m_text_bytes; }
  unsigned long long raw_bytes() const { return m_raw_bytes; }

private:
  // What the conversion carries from one byte to the next.
  struct state {
    bool ascii = false;     // inside a quoted run
    bool backslash = false; // an escape is pending
    bool hex = false;       // hex mode
    char digit = 0;         // the pending high digit in hex mode, 0 for none
  };

  // Follows the state over text[from, to) into m_state; stops early at a
  // comment (m_ended) or at a last '/' that the next piece must decide.
  // Returns where it stopped.
  std::size_t follow(const unsigned char *text, std::size_t from, std::size_t to);
  bool convert(const unsigned char *text, std::size_t n);
  void reopen();

  sink m_out;
  void *m_context;
  state m_state;
  bool m_ended = false;
  bool m_held_slash = false; // the piece ends with a '/' not yet followed
  byte_buffer m_piece;       // the bytes that reopen the state, then the new text
  unsigned long long m_text_bytes = 0;
  unsigned long long m_raw_bytes = 0;
};

} // namespace q48

#endif // Q48_CODED_STREAM_H
