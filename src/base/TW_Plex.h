// Block allocator behind the lists and maps: a chain of blocks, newest first,
// each a link followed by nMax elements. Blocks are freed only all at once.
#ifndef TW_PLEX_H
#define TW_PLEX_H

#include <cstddef>
#include <cstdint>

struct TW_Plex {
    TW_Plex* pNext;

    // The data area starts after the link, padded so any element is aligned.
    static constexpr size_t kHeaderSize = sizeof(std::max_align_t);
    void* data() { return reinterpret_cast<char*>(this) + kHeaderSize; }

    // Allocates a block of nMax * cbElement bytes and makes it the chain's head.
    static TW_Plex* Create(TW_Plex*& pHead, uint32_t nMax, uint32_t cbElement);
    // Frees this block and every block after it.
    void FreeDataChain();
};

#endif
