// Multi-producer, multi-consumer queue of three-word messages. A semaphore
// holds one unit per queued message, so consumers sleep in the kernel until
// there is work; the messages live in a locked list. Message 1 is the quit
// message: the consumer that gets it stops.
#ifndef TW_MSGQUEUE_H
#define TW_MSGQUEUE_H

#include <cstdint>

#include "PfSync.h"
#include "TW_List.h"

struct TW_Message {
    uint32_t message;
    uint32_t wParam;
    uintptr_t lParam;  // often a pointer to a payload
};

class TW_MsgQueue {
public:
    static constexpr uint32_t kMsgQuit = 1;

    explicit TW_MsgQueue(bool bEnabled = true);
    virtual ~TW_MsgQueue();
    TW_MsgQueue(const TW_MsgQueue&) = delete;
    TW_MsgQueue& operator=(const TW_MsgQueue&) = delete;

    bool PostMsg(uint32_t message, uint32_t wParam, uintptr_t lParam);
    // Posts nCount messages as one contiguous run. False (nothing posted) when
    // the queue is disabled or full.
    bool PostMsgs(const TW_Message* lpMsg, int nCount);
    // Blocks until a message is there and takes the oldest. False for the
    // quit message (copied out all the same) and when the wait fails.
    bool GetMsg(TW_Message* lpMsg);

    // Later posts fail; queued messages can still be taken.
    void Disable();
    // Posts succeed again (a restarted owner).
    void Enable();
    void Clear();
    int GetCount();

private:
    TW_LockedList<TW_Message> m_listMsg;
    pf::SemaphoreHandle m_hMsgSemaphore;
    bool m_bEnabled;
};

#endif
