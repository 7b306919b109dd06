// The receive ring of the USB transport. The printer answers in whole packets
// while callers ask for exact byte counts; the ring keeps what a packet
// brought beyond a request for the next read.
//
// Equal indices mean empty and there is no fill counter, so one slot always
// stays free: a full ring would look empty. Stores are all-or-nothing, so a
// reader never sees part of a packet.

#include <algorithm>
#include <cstring>

#include "Q48_Api.h"
#include "q48_internal.h"

namespace {

int wrap(int index) {
  while (index >= kRxRingSize) {
    index -= kRxRingSize;
  }
  return index;
}

int held(int index_rx_bottom, int index_rx_top) {
  return wrap(index_rx_top + kRxRingSize - index_rx_bottom);
}

} // namespace

int buffer_get_rx_count() { return held(m_index_rx_bottom, m_index_rx_top); }

// One more than a store can accept; read compares packet lengths with it.
int buffer_get_rx_free() { return kRxRingSize - buffer_get_rx_count(); }

int buffer_get_rx_data(unsigned char *pub_data, int n_data) {
  int index_rx_bottom = m_index_rx_bottom;
  const int index_rx_top = m_index_rx_top;
  int i_data = 0;
  while (i_data < n_data) {
    int n_copy = 0;
    if (index_rx_bottom < index_rx_top) {
      n_copy = std::min(index_rx_top - index_rx_bottom, n_data - i_data);
    } else if (index_rx_bottom > index_rx_top) {
      // The held bytes run past the end of the storage: take that run first.
      n_copy = std::min(kRxRingSize - index_rx_bottom, n_data - i_data);
    } else {
      break;
    }
    std::memcpy(pub_data + i_data, m_pub_rx_buffer + index_rx_bottom, static_cast<size_t>(n_copy));
    index_rx_bottom = wrap(index_rx_bottom + n_copy);
    i_data += n_copy;
  }
  m_index_rx_bottom = index_rx_bottom;
  return i_data;
}

int buffer_set_rx_data(unsigned char *pub_data, int n_data) {
  const int index_rx_bottom = m_index_rx_bottom;
  int index_rx_top = m_index_rx_top;
  const int n_held = held(index_rx_bottom, index_rx_top);
  int result = 0;
  if (n_data <= kRxRingSize - 1 - n_held) {
    int i_data = 0;
    while (i_data < n_data) {
      int n_copy = 0;
      if (index_rx_top >= index_rx_bottom) {
        n_copy = std::min(kRxRingSize - index_rx_top, n_data - i_data);
      } else {
        // Stop one short of the read index: reaching it would read as empty.
        n_copy = std::min(index_rx_bottom - index_rx_top - 1, n_data - i_data);
      }
      std::memcpy(m_pub_rx_buffer + index_rx_top, pub_data + i_data, static_cast<size_t>(n_copy));
      index_rx_top = wrap(index_rx_top + n_copy);
      i_data += n_copy;
    }
    m_index_rx_top = index_rx_top;
    result = 1;
  }
  return result;
}
