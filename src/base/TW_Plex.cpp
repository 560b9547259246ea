#include "TW_Plex.h"

#include <cstdlib>

#include "TW_Assert.h"

TW_Plex* TW_Plex::Create(TW_Plex*& pHead, uint32_t nMax, uint32_t cbElement) {
    TW_ASSERT(nMax > 0 && cbElement > 0);
    auto* p = static_cast<TW_Plex*>(std::malloc(kHeaderSize + size_t(nMax) * cbElement));
    TW_ASSERT(p != nullptr);
    p->pNext = pHead;
    pHead = p;
    return p;
}

void TW_Plex::FreeDataChain() {
    TW_Plex* p = this;
    while (p) {
        TW_Plex* next = p->pNext;
        std::free(p);
        p = next;
    }
}
