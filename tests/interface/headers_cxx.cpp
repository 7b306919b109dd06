// Both public headers compile as C++ and give C linkage.
#include "Q48_Api.h"
#include "Q48_Tb.h"

#include <type_traits>

static_assert(std::is_same_v<decltype(&Q48_api_printer_open), intptr_t (*)(char *)>);
static_assert(std::is_same_v<decltype(m_index_rx_top), int>);

int main() { return Q48_api_get_library_info() != nullptr ? 0 : 1; }
