// Chained hash map whose associations come from blocks of TW_Plex. A map that
// was never written has no bucket table, and an emptied map gives all its
// memory back. Iteration is by bucket index, newest first inside a bucket.
#ifndef TW_MAP_H
#define TW_MAP_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "TW_Assert.h"
#include "TW_List.h"
#include "TW_Locker.h"
#include "TW_Plex.h"

// Integer keys (socket handles, timer ids, indexes) hash to themselves.
inline uint32_t HashKey(uint32_t k) { return k; }
inline uint32_t HashKey(int32_t k) { return uint32_t(k); }
inline uint32_t HashKey(uint64_t k) { return uint32_t(k); }
inline uint32_t HashKey(uint16_t k) { return k; }
// Pointers: the low bits are alignment, so they are shifted out.
template <class P>
inline uint32_t HashKey(P* p) { return uint32_t(reinterpret_cast<uintptr_t>(p) >> 4); }

template <class K, class V>
class TW_Map {
    struct Assoc {
        Assoc* pNext;
        uint32_t nHashValue;  // bucket index
        K key;
        V value;
    };

public:
    // Lookups that walk more than this many associations print a warning.
    static constexpr int kLongChain = 30;

    explicit TW_Map(int nBlockSize = 10) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}
    ~TW_Map() { RemoveAll(); }
    TW_Map(const TW_Map&) = delete;
    TW_Map& operator=(const TW_Map&) = delete;

    int GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    uint32_t GetHashTableSize() const { return m_nHashTableSize; }

    // Replaces the (empty) map's table; with bAllocNow the buckets exist at once.
    void InitHashTable(uint32_t nSize, bool bAllocNow = true) {
        TW_ASSERT(nSize > 0);
        std::free(m_pHashTable);
        m_pHashTable = nullptr;
        if (bAllocNow) m_pHashTable = static_cast<Assoc**>(std::calloc(nSize, sizeof(Assoc*)));
        m_nHashTableSize = nSize;
    }

    bool Lookup(const K& key, V& rValue) const {
        uint32_t nHash;
        Assoc* a = GetAssocAt(key, nHash);
        if (!a) return false;
        rValue = a->value;
        return true;
    }
    // Pointer to the stored value, or null: for in-place updates under a lock.
    V* LookupPtr(const K& key) {
        uint32_t nHash;
        Assoc* a = GetAssocAt(key, nHash);
        return a ? &a->value : nullptr;
    }

    V& operator[](const K& key) {
        uint32_t nHash;
        Assoc* a = GetAssocAt(key, nHash);
        if (!a) {
            if (!m_pHashTable) InitHashTable(m_nHashTableSize, true);
            a = NewAssoc();
            a->nHashValue = nHash;
            a->key = key;
            a->pNext = m_pHashTable[nHash];
            m_pHashTable[nHash] = a;
        }
        return a->value;
    }
    void SetAt(const K& key, const V& value) { (*this)[key] = value; }

    bool RemoveKey(const K& key) {
        if (!m_pHashTable) return false;
        Assoc** pp = &m_pHashTable[HashKey(key) % m_nHashTableSize];
        for (Assoc* a = *pp; a; pp = &a->pNext, a = a->pNext) {
            if (a->key == key) {
                *pp = a->pNext;
                FreeAssoc(a);
                return true;
            }
        }
        return false;
    }

    void RemoveAll() {
        if (m_pHashTable) {
            for (uint32_t i = 0; i < m_nHashTableSize; ++i)
                for (Assoc* a = m_pHashTable[i]; a; a = a->pNext) Destroy(a);
            std::free(m_pHashTable);
            m_pHashTable = nullptr;
        }
        m_nCount = 0;
        m_pFree = nullptr;
        if (m_pBlocks) m_pBlocks->FreeDataChain();
        m_pBlocks = nullptr;
    }

    POSITION GetStartPosition() const { return m_nCount == 0 ? nullptr : kStart(); }
    void GetNextAssoc(POSITION& pos, K& rKey, V& rValue) const { rValue = NextAssoc(pos, rKey)->value; }
    // The same walk for values that cannot be copied: a reference to the value.
    V& GetNextAssoc(POSITION& pos, K& rKey) { return NextAssoc(pos, rKey)->value; }

private:
    Assoc* NextAssoc(POSITION& pos, K& rKey) const {
        Assoc* a = static_cast<Assoc*>(pos);
        if (pos == kStart()) {
            a = nullptr;
            for (uint32_t i = 0; i < m_nHashTableSize && !a; ++i) a = m_pHashTable[i];
            TW_ASSERT(a);
        }
        Assoc* next = a->pNext;
        for (uint32_t i = a->nHashValue + 1; !next && i < m_nHashTableSize; ++i) next = m_pHashTable[i];
        pos = next;
        rKey = a->key;
        return a;
    }

    static POSITION kStart() { return reinterpret_cast<POSITION>(~uintptr_t(0)); }

    Assoc* GetAssocAt(const K& key, uint32_t& nHash) const {
        nHash = HashKey(key) % m_nHashTableSize;
        if (!m_pHashTable) return nullptr;
        int nWalked = 0;
        for (Assoc* a = m_pHashTable[nHash]; a; a = a->pNext) {
            if (++nWalked > kLongChain) std::printf("warning: unreasonable hash key!\r\n");
            if (a->key == key) return a;
        }
        return nullptr;
    }

    Assoc* NewAssoc() {
        if (!m_pFree) {
            TW_Plex* b = TW_Plex::Create(m_pBlocks, uint32_t(m_nBlockSize), sizeof(Assoc));
            Assoc* first = static_cast<Assoc*>(b->data());
            for (int i = m_nBlockSize - 1; i >= 0; --i) {
                first[i].pNext = m_pFree;
                m_pFree = &first[i];
            }
        }
        Assoc* a = m_pFree;
        m_pFree = a->pNext;
        ++m_nCount;
        std::memset(static_cast<void*>(&a->key), 0, sizeof(K));
        std::memset(static_cast<void*>(&a->value), 0, sizeof(V));
        new (&a->key) K();
        new (&a->value) V();
        return a;
    }
    static void Destroy(Assoc* a) {
        a->key.~K();
        a->value.~V();
    }
    void FreeAssoc(Assoc* a) {
        Destroy(a);
        a->pNext = m_pFree;
        m_pFree = a;
        if (--m_nCount == 0) RemoveAll();
    }

    Assoc** m_pHashTable = nullptr;
    uint32_t m_nHashTableSize = 17;
    int m_nCount = 0;
    Assoc* m_pFree = nullptr;
    TW_Plex* m_pBlocks = nullptr;
    int m_nBlockSize;
};

// A map and its lock in one object; guard it with TW_LockGuard(&map).
template <class K, class V>
class TW_LockedMap : public TW_Map<K, V>, public TW_Locker {
public:
    explicit TW_LockedMap(int nBlockSize = 10) : TW_Map<K, V>(nBlockSize) {}
};

#endif
