// The completion-port engine's network simulator: it degrades the engine's
// own traffic on purpose, as "vxnet.ini" next to the executable asks. It
// drops UDP sends by plan, holds a few sockets' TCP sends back for a while,
// breaks a connection now and then and makes TCP connects fail by plan.
//
// It acts through hooks in the engine's operations and two threads of its
// own: the fault thread (plans and breaks, every 50 ms) and the delay thread
// (admits sockets to the delay set and releases held bytes, every 10 ms).
// Both passes can also be run by hand, with a chance source and a clock
// given from outside, which is how the tests drive it.
//
// Locks: everything about sockets (candidates, the delay set, held bytes) is
// guarded by the engine's table lock, so a socket is a candidate exactly
// while its record lives and a held packet never outlives its socket. The
// loss and connect-failure plans have a lock of their own, taken alone or
// inside the table lock, never the other way round.
#ifndef TW_NETSIMULATOR_H
#define TW_NETSIMULATOR_H

#include <atomic>
#include <cstdint>

#include "SocketData.h"
#include "TW_Array.h"
#include "TW_Locker.h"
#include "TW_Map.h"
#include "TW_MultiThread.h"

// Where the simulator's chance and time come from.
class TW_SimSource {
public:
    virtual ~TW_SimSource() = default;
    // 0 to 32767, as the plans' formulas assume.
    virtual uint32_t Rand15() = 0;
    // Milliseconds, wrapping at 2^32.
    virtual uint32_t NowMs() = 0;
};

// The default: a 15-bit generator per thread (seeded from the processor's
// time-stamp counter on each thread's first draw) and the platform's tick.
TW_SimSource& DefaultSimSource();

// What the simulator needs of its engine.
class TW_NetSimulatorHost {
public:
    virtual ~TW_NetSimulatorHost() = default;
    // The lock that guards the engine's socket records.
    virtual TW_Locker& SimTableLock() = 0;
    // Lock held: the record of s if it is still the one stamped uiSeq.
    virtual SocketData* SimFindLocked(SOCKET s, uint32_t uiSeq) = 0;
    // Lock held: sends held bytes now, behind whatever the socket already
    // sends. False (with the platform's last error) when that failed.
    virtual bool SimSendLocked(SocketData& rec, const char* lpData, uint32_t uiLen, uint32_t dwFlag) = 0;
    // No lock: the socket fails with nError through the engine's failure path.
    virtual void SimFail(SOCKET s, uint32_t uiSeq, int nError) = 0;
    // No lock: the connection breaks, as if the peer had reset it.
    virtual void SimBreak(SOCKET s, uint32_t uiSeq) = 0;
};

// The settings read from "vxnet.ini". Pairs are min and max.
struct TW_SimConfig {
    uint32_t ulMaxAffect = 10;      // the delay set holds at most this many + 1 sockets
    uint32_t ulLostMin = 0, ulLostMax = 0;          // percent of UDP sends dropped
    uint32_t ulUdpDelayMin = 0, ulUdpDelayMax = 0;  // read, no effect
    uint32_t ulBreakMin = 0, ulBreakMax = 0;        // seconds between two breaks
    uint32_t ulTcpDelayMin = 0, ulTcpDelayMax = 0;  // ms a delayed socket's sends are held
    uint32_t ulConnFailMin = 0, ulConnFailMax = 0;  // percent of TCP connects spoiled

    // Only then do sockets become candidates (for delay and for breaks).
    bool TcpDelayConfigured() const { return ulTcpDelayMax != 0 && ulTcpDelayMax > ulTcpDelayMin; }
};

class TW_NetSimulator : private TW_MultiThread {
public:
    // The connect-failure plan holds ordinals 1 to 101, so at most this
    // percentage can be asked for.
    static constexpr uint32_t kMaxConnFail = 100;
    static constexpr uint32_t kLossOrdinals = 1001;
    static constexpr uint32_t kConnOrdinals = 101;
    // A delayed socket's episode.
    static constexpr uint32_t kEpisodeMs = 30000;
    static constexpr uint32_t kFaultPeriodMs = 50;
    static constexpr uint32_t kDelayPeriodMs = 10;

    enum HoldResult { HOLD_NO, HOLD_YES, HOLD_FAILED };

    explicit TW_NetSimulator(TW_NetSimulatorHost& host);
    ~TW_NetSimulator() override;
    TW_NetSimulator(const TW_NetSimulator&) = delete;
    TW_NetSimulator& operator=(const TW_NetSimulator&) = delete;

    // Reads the settings from lpszPath: false (simulator off) when the file
    // is missing, does not switch it on, or is refused; a refused setting is
    // named in one printed line.
    static bool ReadConfig(const char* lpszPath, TW_SimConfig& cfg);
    // "vxnet.ini" in the executable's folder.
    static bool ReadDefaultConfig(TW_SimConfig& cfg);

    // Switches the simulator on with these settings; bThreads starts the
    // fault and delay threads (tests run the passes by hand instead).
    // lpSource null: the default source.
    void Start(const TW_SimConfig& cfg, bool bThreads, TW_SimSource* lpSource = nullptr);
    // Ends the threads and forgets everything held (its blocks are freed).
    void Stop();
    bool IsEnabled() const { return m_bEnabled.load(std::memory_order_acquire); }

    // ---- hooks
    // Send, table lock held, the record a connected TCP socket: HOLD_YES when
    // the bytes are held (sent later), HOLD_FAILED when they could not be.
    HoldResult HoldSend(SocketData& rec, const char* lpData, uint32_t uiLen);
    // Table lock held: packets held for the socket.
    uint32_t HeldCountLocked(const SocketData& rec);
    // SendToAddr: true when this datagram is lost.
    bool LoseDatagram();
    // ConnectAddr: true when this connect is to fail.
    bool FailConnect();
    // Table lock held: the socket is going; what is held for it is freed.
    void Forget(const SocketData& rec);

    // ---- one round of each thread
    void FaultPass();
    void DelayPass();

    // ---- state, for tests (table lock taken)
    int CandidateCount();
    int DelayedCount();
    bool IsDelayed(SOCKET s);
    uint32_t DelayOf(SOCKET s);  // 0 when not delayed

private:
    enum { kThreadFault = 5, kThreadDelay = 6 };

    struct HeldPacket {
        uint32_t dwTime = 0;  // when Send was called
        uint32_t dwFlag = 0;
        uint32_t uiLen = 0;
        char* lpData = nullptr;  // pool block
    };
    struct SimSocket {
        uint32_t uiSeq = 0;
        bool bDelayed = false;
        uint32_t dwEnterTime = 0;
        uint32_t uiDelayMs = 0;
        TW_List<HeldPacket> listHeld{10};
    };
    // A plan: which ordinals of the counted operations are spoiled.
    struct Plan {
        bool abPlanned[1024] = {};
        uint32_t uiPlanned = 0;
        uint32_t uiCount = 0;  // operations counted since the plan was drawn
        // true when the next operation's ordinal was planned (and takes it out).
        bool Hit();
        void Draw(TW_SimSource& src, uint32_t uiWanted, uint32_t uiOrdinals);
    };

    uint32_t ThreadProc(ThreadData* lpData) override;
    double Chance() { return double(m_lpSource->Rand15() & 0x7FFF) / 32767.0; }
    // Table lock held: the candidate at a random index, or null.
    SimSocket* PickCandidateLocked(SOCKET* lpS);
    // Table lock held: the socket is no candidate any more.
    void DropLocked(SOCKET s);
    static void FreeHeld(SimSocket& st);

    TW_NetSimulatorHost& m_host;
    TW_SimSource* m_lpSource;
    TW_SimConfig m_cfg;
    std::atomic<bool> m_bEnabled{false};

    // Guarded by the host's table lock.
    TW_Map<SOCKET, SimSocket*> m_mapSocket;  // the candidates
    TW_Array<SOCKET> m_arrCandidate;         // in the order of their first Send
    TW_Array<SOCKET> m_arrDelayed;           // the delay set

    TW_Locker m_lckPlan;  // the two plans
    Plan m_planLoss;
    Plan m_planConnect;

    // The fault thread's own.
    uint32_t m_dwBreakStart = 0;
    uint32_t m_uiBreakInterval = 0;
};

#endif
