#include "PfConnectState.h"

#include <atomic>
#include <new>

namespace pf {

// Pages of 64 Ki descriptors, allocated on first use and kept for the life of
// the process (at most 256 pages, far fewer in practice).
constexpr int kPageBits = 16;
constexpr int kPageCount = 1 << (24 - kPageBits);
constexpr int kPageSize = 1 << kPageBits;

struct Page {
    std::atomic<uint8_t> arrState[kPageSize];
};
static std::atomic<Page*> s_arrPage[kPageCount];

ConnectState GetConnectState(int fd) {
    if (fd < 0 || fd >= (1 << 24)) return kConnNone;
    Page* p = s_arrPage[fd >> kPageBits].load(std::memory_order_acquire);
    if (!p) return kConnNone;
    return ConnectState(p->arrState[fd & (kPageSize - 1)].load(std::memory_order_relaxed));
}

void SetConnectState(int fd, ConnectState eState) {
    if (fd < 0 || fd >= (1 << 24)) return;
    std::atomic<Page*>& slot = s_arrPage[fd >> kPageBits];
    Page* p = slot.load(std::memory_order_acquire);
    if (!p) {
        if (eState == kConnNone) return;  // an absent page reads as none already
        Page* lpNew = new (std::nothrow) Page();
        if (!lpNew) return;  // untracked: poll's own answer is used
        if (slot.compare_exchange_strong(p, lpNew, std::memory_order_acq_rel))
            p = lpNew;
        else
            delete lpNew;
    }
    p->arrState[fd & (kPageSize - 1)].store(eState, std::memory_order_relaxed);
}

}  // namespace pf
