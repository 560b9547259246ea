// The timing wheel behind the multiple timer: any number of timers named by
// a 32-bit id, on five levels of slots (256 one-millisecond slots, then four
// levels of 64 slots, each slot of a level covering a whole turn of the level
// below). A timer sits in the level that its distance to expiry selects and
// is cascaded one level down each time the wheel below completes a turn, so
// adding, killing and expiring cost O(1) however many timers exist.
//
// Ticks are milliseconds of a clock that wraps at 2^32; the wheel walks every
// tick from its current tick up to the time it is given. It has no lock: its
// owner serialises every call.
#ifndef TW_TIMERWHEEL_H
#define TW_TIMERWHEEL_H

#include <cstdint>

#include "TW_Map.h"
#include "TW_MsgQueue.h"
#include "TW_Plex.h"

// The message an expiry becomes: (WM_TIMER, timer id, user value). Spelt as
// Windows spells it, so that both definitions can meet.
#ifndef WM_TIMER
#define WM_TIMER 0x0113
#endif

// Collects the expiries of one walk and hands them on in batches.
class TW_ExpiryBatch {
public:
    static constexpr int kMaxBatch = 1024;

    void Add(uint32_t uiId, uint32_t uiValue) {
        m_msgs[m_nCount++] = TW_Message{WM_TIMER, uiId, uiValue};
        if (m_nCount == kMaxBatch) Flush();
    }
    void Flush() {
        if (m_nCount > 0) Deliver(m_msgs, m_nCount);
        m_nCount = 0;
    }

protected:
    ~TW_ExpiryBatch() = default;
    virtual void Deliver(const TW_Message* lpMsgs, int nCount) = 0;

private:
    TW_Message m_msgs[kMaxBatch];
    int m_nCount = 0;
};

class TW_TimerWheel {
public:
    TW_TimerWheel();
    ~TW_TimerWheel();
    TW_TimerWheel(const TW_TimerWheel&) = delete;
    TW_TimerWheel& operator=(const TW_TimerWheel&) = delete;

    // Empties the wheel and starts it at uiNow, with nHashBuckets buckets
    // for the id table.
    void Reset(uint32_t uiNow, uint32_t nHashBuckets);
    // Frees every timer.
    void Clear();

    // The timer first expires uiPeriod ticks after the current tick. False
    // when the id is in use, the period is 0 or memory is short.
    bool Add(uint32_t uiId, uint32_t uiPeriod, uint32_t uiValue, bool bOneShot);
    bool Kill(uint32_t uiId);
    bool Contains(uint32_t uiId) const;
    int GetCount() const { return m_mapTimer.GetCount(); }

    // Walks every tick from the current tick to uiNow. Each timer due on a
    // walked tick goes to the batch once; a one-shot timer is then gone (its
    // id free at once), a periodic one expires again uiPeriod after uiNow,
    // not after its missed expiry, so a late walk fires no burst. Afterwards
    // the current tick is uiNow.
    void Advance(uint32_t uiNow, TW_ExpiryBatch& batch);
    uint32_t GetCurrentTick() const { return m_uiCurrentTick; }

private:
    struct Record;

    Record* NewRecord();
    void FreeRecord(Record* r);
    void Place(Record* r);
    static void Unlink(Record* r);
    void Cascade();

    TW_Map<uint32_t, Record*> m_mapTimer;
    // Records come from blocks, like the map's nodes; an empty wheel holds
    // no blocks.
    TW_Plex* m_pRecordBlocks = nullptr;
    Record* m_pFreeRecords = nullptr;
    uint32_t m_uiCurrentTick = 0;
    Record* m_wheel1[256];
    Record* m_wheelN[4][64];  // levels 2 to 5
};

#endif
