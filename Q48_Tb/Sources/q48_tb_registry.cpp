// The handle registry: int handles for command objects on every target.
//
// An address does not fit the int handle on 64-bit hosts, so handles are
// numbers. A handle is a serial number with a group number in its low bits.
// Each group has its own lock, counter and table, and a thread adds to the
// group of the processor it runs on, so threads on different processors
// rarely meet on a lock or a cache line. Lookups take no lock at all.
//
// A live handle sits in its group's table at serial mod capacity, so finding
// it is one load whatever the number of live handles. The counter runs
// through every serial and skips those whose slot is taken; a table at most
// half full makes that one step on average. Released values therefore come
// back only when the group's counter wraps, after at least a quarter of a
// thousand million further objects of that group. Doubling a table moves
// every live handle to serial mod new capacity, where no other can be.
//
// Lookups run against the table they find while another thread may grow it,
// so a replaced table is never freed: it stays linked behind its successor,
// which is no more memory than the live table itself.

#include "q48_tb_internal.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace q48tb {
namespace {

constexpr int kGroupBits = 2;
constexpr std::uint32_t kGroups = 1u << kGroupBits;
static_assert(kRegistrySerials == (static_cast<std::uint32_t>(INT_MAX) >> kGroupBits) + 1);
constexpr std::uint32_t kMinCapacity = 64;

// Read without the lock while the group's writer changes it: every access
// that can race goes through the __atomic builtins.
struct registry_slot {
  int iHandle; // 0: free
  PS_Q48TB_COMMAND psCmd;
};

struct registry_table {
  registry_table *pOlder;
  std::uint32_t uiCapacity; // a power of two
  registry_slot *slots() { return reinterpret_cast<registry_slot *>(this + 1); }
};
static_assert(sizeof(registry_table) % alignof(registry_slot) == 0);

// One cache line per group: threads on different processors work on
// different groups without sharing a line.
struct alignas(64) registry_group {
  int iLock;              // see group_lock
  registry_table *pTable; // published with release, read with acquire
  std::uint32_t uiCount;
  std::uint32_t uiNext; // next serial to try
};
static_assert(sizeof(registry_group) == 64);

constinit registry_group g_groups[kGroups] = {
    {0, nullptr, 0, 0},
    {0, nullptr, 0, 0},
    {0, nullptr, 0, 0},
    {0, nullptr, 0, 0},
};
static_assert(sizeof g_groups / sizeof g_groups[0] == kGroups);

// Owns a group's lock for one scope. A waiter must sleep, not spin: a
// real-time thread that preempted the holder on the same processor keeps it
// from ever running again while it spins or yields, and a printing thread
// hangs. The lock word is 0 when free, 1 when held and 2 when held and
// perhaps slept on; a waiter sleeps on it in the kernel (futex), and whoever
// lets go of a 2 wakes one. Uncontended that is one atomic instruction to
// take and one to give back (the second is the price of knowing whether
// anyone sleeps), inline: a pthread mutex does the same through calls and
// bookkeeping that made a small object's create and release a tenth dearer
// again. Threads on different processors mostly use different groups, so
// the sleep is rare.
class group_lock {
public:
  explicit group_lock(registry_group &group) : m_piLock(&group.iLock) {
    int iFree = 0;
    if (!__atomic_compare_exchange_n(m_piLock, &iFree, 1, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
      // Taken with 2 from here on, as other sleepers may remain.
      while (__atomic_exchange_n(m_piLock, 2, __ATOMIC_ACQUIRE) != 0) {
        (void)syscall(SYS_futex, m_piLock, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
      }
    }
  }
  group_lock(const group_lock &) = delete;
  group_lock &operator=(const group_lock &) = delete;
  ~group_lock() {
    if (__atomic_exchange_n(m_piLock, 0, __ATOMIC_RELEASE) == 2) {
      (void)syscall(SYS_futex, m_piLock, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
  }

private:
  int *m_piLock;
};

std::uint32_t serial_of(int iHandle) { return static_cast<std::uint32_t>(iHandle) >> kGroupBits; }

registry_slot &slot_of(registry_table &table, int iHandle) {
  return table.slots()[serial_of(iHandle) & (table.uiCapacity - 1)];
}

// Keeps the group's table at most half full. Lock held.
bool group_reserve(registry_group &group) {
  registry_table *pOld = group.pTable;
  const std::uint32_t uiOldCapacity = pOld == nullptr ? 0 : pOld->uiCapacity;
  bool fResult = (group.uiCount + 1) * 2 <= uiOldCapacity;
  const std::uint32_t uiNewCapacity = uiOldCapacity == 0 ? kMinCapacity : uiOldCapacity * 2;
  if (!fResult && uiNewCapacity <= kRegistrySerials) {
    void *pv = std::calloc(1, sizeof(registry_table) + uiNewCapacity * sizeof(registry_slot));
    if (pv != nullptr) {
      auto *pNew = static_cast<registry_table *>(pv);
      pNew->pOlder = pOld;
      pNew->uiCapacity = uiNewCapacity;
      for (std::uint32_t ui = 0; ui < uiOldCapacity; ++ui) {
        const registry_slot &sSlot = pOld->slots()[ui];
        if (sSlot.iHandle != 0) {
          slot_of(*pNew, sSlot.iHandle) = sSlot;
        }
      }
      __atomic_store_n(&group.pTable, pNew, __ATOMIC_RELEASE);
      fResult = true;
    }
  }
  return fResult;
}

int group_add(std::uint32_t uiGroup, PS_Q48TB_COMMAND psCmd) {
  int iHandle = 0;
  registry_group &group = g_groups[uiGroup];
  group_lock lock(group);
  if (group_reserve(group)) {
    registry_table &table = *group.pTable;
    registry_slot *pSlot = nullptr;
    do {
      const std::uint32_t uiSerial = group.uiNext;
      group.uiNext = (uiSerial + 1) & (kRegistrySerials - 1);
      iHandle = static_cast<int>(uiSerial << kGroupBits | uiGroup);
      pSlot = iHandle == 0 ? nullptr : &slot_of(table, iHandle);
    } while (pSlot == nullptr || pSlot->iHandle != 0);
    // The record first: a reader that sees the handle sees its record.
    __atomic_store_n(&pSlot->psCmd, psCmd, __ATOMIC_RELEASE);
    __atomic_store_n(&pSlot->iHandle, iHandle, __ATOMIC_RELEASE);
    ++group.uiCount;
  }
  return iHandle;
}

// Where this thread adds first: the processor it runs on. A thread that
// moves meanwhile only costs a shared cache line, never a wrong result.
std::uint32_t home_group() {
  const int iCpu = sched_getcpu();
  return iCpu < 0 ? 0 : static_cast<std::uint32_t>(iCpu) & (kGroups - 1);
}

} // namespace

int registry_add(PS_Q48TB_COMMAND psCmd) {
  int iHandle = 0;
  const std::uint32_t uiHome = home_group();
  // A full or unallocatable group hands over to the next.
  for (std::uint32_t ui = 0; ui < kGroups && iHandle == 0; ++ui) {
    iHandle = group_add((uiHome + ui) & (kGroups - 1), psCmd);
  }
  return iHandle;
}

PS_Q48TB_COMMAND registry_get(int iHandle) {
  PS_Q48TB_COMMAND psCmd = nullptr;
  if (iHandle > 0) {
    registry_group &group = g_groups[static_cast<std::uint32_t>(iHandle) & (kGroups - 1)];
    registry_table *pTable = __atomic_load_n(&group.pTable, __ATOMIC_ACQUIRE);
    if (pTable != nullptr) {
      registry_slot &sSlot = slot_of(*pTable, iHandle);
      if (__atomic_load_n(&sSlot.iHandle, __ATOMIC_ACQUIRE) == iHandle) {
        psCmd = __atomic_load_n(&sSlot.psCmd, __ATOMIC_ACQUIRE);
        // The slot may have been handed on in between; only then it differs.
        if (__atomic_load_n(&sSlot.iHandle, __ATOMIC_RELAXED) != iHandle) {
          psCmd = nullptr;
        }
      }
    }
  }
  return psCmd;
}

PS_Q48TB_COMMAND registry_remove(int iHandle) {
  PS_Q48TB_COMMAND psCmd = nullptr;
  if (iHandle > 0) {
    registry_group &group = g_groups[static_cast<std::uint32_t>(iHandle) & (kGroups - 1)];
    group_lock lock(group);
    if (group.pTable != nullptr) {
      registry_slot &sSlot = slot_of(*group.pTable, iHandle);
      if (sSlot.iHandle == iHandle) {
        psCmd = sSlot.psCmd;
        __atomic_store_n(&sSlot.iHandle, 0, __ATOMIC_RELEASE);
        --group.uiCount;
      }
    }
  }
  return psCmd;
}

void registry_set_next_serial(std::uint32_t uiSerial) {
  for (registry_group &group : g_groups) {
    group_lock lock(group);
    group.uiNext = uiSerial & (kRegistrySerials - 1);
  }
}

} // namespace q48tb
