// What the toolbox's command objects are made of: the record, its scope
// guard and the handle registry. The conversion kernels have a header of
// their own (kernels/q48_tb_kernels.h). Nothing here is exported; the tests
// and fuzzers reach it by linking the same objects.
#ifndef Q48_TB_INTERNAL_H
#define Q48_TB_INTERNAL_H

#include <cstdint>

typedef struct S_Q48TB_COMMAND {
  unsigned char *pubCoded;
  int nCoded;
  unsigned char *pubRaw;
  int nRaw;
} * PS_Q48TB_COMMAND;

namespace q48tb {

// Runs its callable when the scope ends unless dismissed: the one failure
// path of a function that acquires several resources.
template <typename F> class on_failure {
public:
  explicit on_failure(F f) : m_f(f) {}
  on_failure(const on_failure &) = delete;
  on_failure &operator=(const on_failure &) = delete;
  ~on_failure() {
    if (m_fArmed) {
      m_f();
    }
  }
  void dismiss() { m_fArmed = false; }

private:
  F m_f;
  bool m_fArmed = true;
};

// ---- Handle registry (q48_tb_registry.cpp)

// A new handle for psCmd, or 0 when no table can grow.
int registry_add(PS_Q48TB_COMMAND psCmd);
// The record of a live handle, or null. Takes no lock.
PS_Q48TB_COMMAND registry_get(int iHandle);
// Takes a live handle out and returns its record, or null.
PS_Q48TB_COMMAND registry_remove(int iHandle);
// Handles carry a serial number per group; tests move every group's counter
// close to its wrap instead of creating half a thousand million objects.
constexpr std::uint32_t kRegistrySerials = 1u << 29;
void registry_set_next_serial(std::uint32_t uiSerial);

// ---- Coded text (Q48_Tb.cpp)

// Raw bytes of nText bytes of coded text, written to pubOut (nText bytes).
unsigned int coded_to_raw(const unsigned char *pubText, unsigned int nText, unsigned char *pubOut);

} // namespace q48tb

#endif // Q48_TB_INTERNAL_H
