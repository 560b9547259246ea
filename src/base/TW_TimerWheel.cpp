#include "TW_TimerWheel.h"

#include <cstring>
#include <new>

struct TW_TimerWheel::Record {
    Record* pNext;
    Record** ppLink;  // the pointer that points here: unlinking is O(1)
    uint32_t uiId;
    uint32_t uiPeriod;
    uint32_t uiExpire;
    uint32_t uiValue;
    bool bOneShot;
};

// Level n (2..5) covers distances below 2^kShift[n+1]; its slot index is the
// expiry shifted by kShift[n].
static constexpr int kLevelShift[4] = {8, 14, 20, 26};

TW_TimerWheel::TW_TimerWheel() {
    std::memset(m_wheel1, 0, sizeof m_wheel1);
    std::memset(m_wheelN, 0, sizeof m_wheelN);
}

TW_TimerWheel::~TW_TimerWheel() { Clear(); }

void TW_TimerWheel::Reset(uint32_t uiNow, uint32_t nHashBuckets) {
    Clear();
    m_mapTimer.InitHashTable(nHashBuckets > 0 ? nHashBuckets : 17);
    m_uiCurrentTick = uiNow;
}

void TW_TimerWheel::Clear() {
    std::memset(m_wheel1, 0, sizeof m_wheel1);
    std::memset(m_wheelN, 0, sizeof m_wheelN);
    m_mapTimer.RemoveAll();
    m_pFreeRecords = nullptr;
    if (m_pRecordBlocks) m_pRecordBlocks->FreeDataChain();
    m_pRecordBlocks = nullptr;
}

static constexpr uint32_t kRecordsPerBlock = 64;

TW_TimerWheel::Record* TW_TimerWheel::NewRecord() {
    if (!m_pFreeRecords) {
        TW_Plex* b = TW_Plex::Create(m_pRecordBlocks, kRecordsPerBlock, sizeof(Record));
        if (!b) return nullptr;
        Record* first = static_cast<Record*>(b->data());
        for (int i = int(kRecordsPerBlock) - 1; i >= 0; --i) {
            first[i].pNext = m_pFreeRecords;
            m_pFreeRecords = &first[i];
        }
    }
    Record* r = m_pFreeRecords;
    m_pFreeRecords = r->pNext;
    return r;
}

// After the record's id has left the map.
void TW_TimerWheel::FreeRecord(Record* r) {
    if (m_mapTimer.IsEmpty()) {
        // The last timer: give every block back.
        Clear();
        return;
    }
    r->pNext = m_pFreeRecords;
    m_pFreeRecords = r;
}

void TW_TimerWheel::Place(Record* r) {
    uint32_t e = r->uiExpire;
    uint32_t d = e - m_uiCurrentTick;
    Record** head;
    if (d < (1u << 8)) head = &m_wheel1[e & 255];
    else if (d < (1u << 14)) head = &m_wheelN[0][(e >> 8) & 63];
    else if (d < (1u << 20)) head = &m_wheelN[1][(e >> 14) & 63];
    else if (d < (1u << 26)) head = &m_wheelN[2][(e >> 20) & 63];
    else head = &m_wheelN[3][e >> 26];
    r->pNext = *head;
    if (r->pNext) r->pNext->ppLink = &r->pNext;
    *head = r;
    r->ppLink = head;
}

void TW_TimerWheel::Unlink(Record* r) {
    *r->ppLink = r->pNext;
    if (r->pNext) r->pNext->ppLink = r->ppLink;
}

// At a multiple of 256: the level-2 slot of the coming 256 ticks moves down,
// and each level whose slot index wrapped to 0 feeds the level below it.
void TW_TimerWheel::Cascade() {
    for (int n = 0; n < 4; ++n) {
        uint32_t uiIndex = (m_uiCurrentTick >> kLevelShift[n]) & 63;
        Record* r = m_wheelN[n][uiIndex];
        m_wheelN[n][uiIndex] = nullptr;
        while (r) {
            Record* next = r->pNext;
            Place(r);
            r = next;
        }
        if (uiIndex != 0) break;
    }
}

bool TW_TimerWheel::Add(uint32_t uiId, uint32_t uiPeriod, uint32_t uiValue, bool bOneShot) {
    // A period of 0 would land on the tick being walked and never let the
    // walk end.
    if (uiPeriod == 0) return false;
    // One lookup: the new entry holds null until the record is there.
    Record*& rEntry = m_mapTimer[uiId];
    if (rEntry) return false;
    Record* r = NewRecord();
    if (!r) {
        m_mapTimer.RemoveKey(uiId);
        return false;
    }
    *r = Record{nullptr, nullptr, uiId, uiPeriod, m_uiCurrentTick + uiPeriod, uiValue, bOneShot};
    Place(r);
    rEntry = r;
    return true;
}

bool TW_TimerWheel::Kill(uint32_t uiId) {
    Record* r = nullptr;
    if (!m_mapTimer.Lookup(uiId, r)) return false;
    m_mapTimer.RemoveKey(uiId);
    Unlink(r);
    FreeRecord(r);
    return true;
}

bool TW_TimerWheel::Contains(uint32_t uiId) const {
    Record* r = nullptr;
    return m_mapTimer.Lookup(uiId, r);
}

void TW_TimerWheel::Advance(uint32_t uiNow, TW_ExpiryBatch& batch) {
    while (int32_t(uiNow - m_uiCurrentTick) >= 0) {
        uint32_t uiSlot = m_uiCurrentTick & 255;
        if (uiSlot == 0) Cascade();
        while (Record* r = m_wheel1[uiSlot]) {
            Unlink(r);
            batch.Add(r->uiId, r->uiValue);
            if (r->bOneShot) {
                m_mapTimer.RemoveKey(r->uiId);
                FreeRecord(r);
            } else {
                r->uiExpire = uiNow + r->uiPeriod;
                Place(r);
            }
        }
        ++m_uiCurrentTick;
    }
    // The tick uiNow is walked again next time; nothing can be due on it by
    // then, since every expiry set from now on lies after it.
    m_uiCurrentTick = uiNow;
}
