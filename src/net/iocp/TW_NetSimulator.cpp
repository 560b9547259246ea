#include "TW_NetSimulator.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "PfClock.h"
#include "PfError.h"
#include "PfFile.h"
#include "PfSync.h"
#include "PfSystem.h"
#include "PfThread.h"
#include "TW_IniFileEx.h"
#include "vxnet/vxmempool.h"

// ------------------------------------------------------------------ the default source

namespace {

class DefaultSource : public TW_SimSource {
public:
    // The C library's generator is process-wide with 31 bits on some
    // platforms; the plans need 15 bits, drawn per thread everywhere.
    uint32_t Rand15() override {
        thread_local uint32_t s_uiState = uint32_t(pf::CpuTimestamp());
        s_uiState = s_uiState * 214013u + 2531011u;
        return (s_uiState >> 16) & 0x7FFFu;
    }
    uint32_t NowMs() override { return pf::TickCount(); }
};

// u * (b - a) + a for 0 <= u <= 1, truncated; a may lie above b.
uint32_t Between(double u, uint32_t a, uint32_t b) {
    const double v = u * (double(b) - double(a)) + double(a);
    if (v <= 0) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return uint32_t(v);
}

// ---- the settings file

std::string Trimmed(const std::string& str) {
    const char* const kSpace = " \t\r\n\v\f";
    const size_t b = str.find_first_not_of(kSpace);
    if (b == std::string::npos) return std::string();
    return str.substr(b, str.find_last_not_of(kSpace) - b + 1);
}

// The leading decimal number, 0 when there is none, kept in the 32-bit range;
// a negative number wraps as an unsigned conversion would.
uint32_t LeadingNumber(const std::string& str) {
    size_t i = 0;
    bool bNegative = false;
    if (i < str.size() && (str[i] == '+' || str[i] == '-')) bNegative = str[i++] == '-';
    int64_t v = 0;
    for (; i < str.size() && str[i] >= '0' && str[i] <= '9'; ++i) {
        v = v * 10 + (str[i] - '0');
        if (v > int64_t(INT_MAX) + 1) v = int64_t(INT_MAX) + 1;
    }
    if (bNegative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    return uint32_t(int32_t(v));
}

// "min,max": both 0 without a comma.
void ReadPair(const TW_IniFileEx& ini, const char* lpszSection, const char* lpszKey, uint32_t& ulMin,
              uint32_t& ulMax) {
    TW_String strValue;
    ini.GetStringA(lpszSection, lpszKey, strValue, "0,0");
    const std::string str = Trimmed(static_cast<const char*>(strValue));
    ulMin = ulMax = 0;
    const size_t comma = str.find(',');
    if (comma == std::string::npos) return;
    ulMin = LeadingNumber(Trimmed(str.substr(0, comma)));
    ulMax = LeadingNumber(Trimmed(str.substr(comma + 1)));
}

bool Refuse(const char* lpszSection, const char* lpszKey, uint32_t ulMin, uint32_t ulMax, const char* lpszWhy) {
    std::printf("vxnet.ini: [%s] %s=%u,%u refused (%s), network simulator off\n", lpszSection, lpszKey,
                unsigned(ulMin), unsigned(ulMax), lpszWhy);
    std::fflush(stdout);
    return false;
}

}  // namespace

TW_SimSource& DefaultSimSource() {
    static DefaultSource s_source;
    return s_source;
}

bool TW_NetSimulator::ReadConfig(const char* lpszPath, TW_SimConfig& cfg) {
    cfg = TW_SimConfig();
    // The reader creates a missing file: look first.
    if (!lpszPath || !pf::PathExists(lpszPath)) return false;
    TW_IniFileEx ini(17, 17);
    if (!ini.LoadA(lpszPath, false) || !ini.GetBoolA("vxnet", "simulator", false)) return false;
    cfg.ulMaxAffect = uint32_t(ini.GetIntA("vxnet", "maxaffect", 10));
    ReadPair(ini, "udp", "lost", cfg.ulLostMin, cfg.ulLostMax);
    ReadPair(ini, "udp", "delay", cfg.ulUdpDelayMin, cfg.ulUdpDelayMax);
    ReadPair(ini, "tcp", "break", cfg.ulBreakMin, cfg.ulBreakMax);
    ReadPair(ini, "tcp", "delay", cfg.ulTcpDelayMin, cfg.ulTcpDelayMax);
    ReadPair(ini, "tcp", "connfail", cfg.ulConnFailMin, cfg.ulConnFailMax);
    if (cfg.ulLostMin > cfg.ulLostMax) return Refuse("udp", "lost", cfg.ulLostMin, cfg.ulLostMax, "min above max");
    if (cfg.ulLostMax > 100) return Refuse("udp", "lost", cfg.ulLostMin, cfg.ulLostMax, "above 100 percent");
    if (cfg.ulBreakMin > cfg.ulBreakMax)
        return Refuse("tcp", "break", cfg.ulBreakMin, cfg.ulBreakMax, "min above max");
    // More could never be planned: the fault thread would draw for ever.
    if (cfg.ulConnFailMin > kMaxConnFail) cfg.ulConnFailMin = kMaxConnFail;
    if (cfg.ulConnFailMax > kMaxConnFail) cfg.ulConnFailMax = kMaxConnFail;
    return true;
}

bool TW_NetSimulator::ReadDefaultConfig(TW_SimConfig& cfg) {
    const std::string strFolder = pf::ExecutableFolder();
    if (strFolder.empty()) {
        cfg = TW_SimConfig();
        return false;
    }
    return ReadConfig((strFolder + pf::PathSeparator() + "vxnet.ini").c_str(), cfg);
}

// ------------------------------------------------------------------ lifecycle

TW_NetSimulator::TW_NetSimulator(TW_NetSimulatorHost& host) : m_host(host), m_lpSource(&DefaultSimSource()) {
    m_mapSocket.InitHashTable(211);
}

TW_NetSimulator::~TW_NetSimulator() { Stop(); }

void TW_NetSimulator::Start(const TW_SimConfig& cfg, bool bThreads, TW_SimSource* lpSource) {
    Stop();
    m_cfg = cfg;
    m_lpSource = lpSource ? lpSource : &DefaultSimSource();
    {
        TW_LockGuard lock(&m_lckPlan);
        m_planLoss = Plan();
        m_planConnect = Plan();
    }
    m_dwBreakStart = m_lpSource->NowMs();
    m_uiBreakInterval = 0;
    m_bEnabled.store(true, std::memory_order_release);
    if (!bThreads) return;
    if (!StartThread(kThreadFault, 0) || !StartThread(kThreadDelay, 0))
        std::printf("network simulator: its threads could not all be started\n");
}

void TW_NetSimulator::Stop() {
    m_bEnabled.store(false, std::memory_order_release);
    StopThreads(kThreadFault, 2000);
    StopThreads(kThreadDelay, 2000);
    TW_LockGuard lock(&m_host.SimTableLock());
    SOCKET s;
    for (POSITION pos = m_mapSocket.GetStartPosition(); pos;) {
        SimSocket* lpSt = m_mapSocket.GetNextAssoc(pos, s);
        FreeHeld(*lpSt);
        delete lpSt;
    }
    m_mapSocket.RemoveAll();
    m_arrCandidate.RemoveAll();
    m_arrDelayed.RemoveAll();
}

uint32_t TW_NetSimulator::ThreadProc(ThreadData* lpData) {
    const bool bFault = lpData->iThreadType == kThreadFault;
    pf::SetCurrentThreadName(bFault ? "vxnet-simfault" : "vxnet-simdelay");
    const uint32_t uiPeriod = bFault ? kFaultPeriodMs : kDelayPeriodMs;
    do {
        if (bFault)
            FaultPass();
        else
            DelayPass();
    } while (pf::EventWait(lpData->hStopEvent, uiPeriod) == pf::kWaitTimeout);
    return 0;
}

// ------------------------------------------------------------------ plans

bool TW_NetSimulator::Plan::Hit() {
    const uint32_t uiOrdinal = ++uiCount & 0xFFFFu;
    if (uiOrdinal >= sizeof abPlanned || !abPlanned[uiOrdinal]) return false;
    abPlanned[uiOrdinal] = false;
    --uiPlanned;
    return true;
}

void TW_NetSimulator::Plan::Draw(TW_SimSource& src, uint32_t uiWanted, uint32_t uiOrdinals) {
    if (uiWanted > uiOrdinals) uiWanted = uiOrdinals;
    // Far more draws than a fair source needs; a poor one must not hang the
    // thread, so the rest is filled in order.
    for (uint32_t uiDraws = 0; uiPlanned < uiWanted && uiDraws < 64 * uiOrdinals; ++uiDraws) {
        const double u = double(src.Rand15() & 0x7FFF) / 32767.0;
        const uint32_t uiOrdinal = uint32_t(u * (uiOrdinals - 1) + 1);
        if (!abPlanned[uiOrdinal]) {
            abPlanned[uiOrdinal] = true;
            ++uiPlanned;
        }
    }
    for (uint32_t o = 1; uiPlanned < uiWanted && o <= uiOrdinals; ++o) {
        if (!abPlanned[o]) {
            abPlanned[o] = true;
            ++uiPlanned;
        }
    }
    uiCount = 0;
}

bool TW_NetSimulator::LoseDatagram() {
    if (!IsEnabled()) return false;
    TW_LockGuard lock(&m_lckPlan);
    return m_planLoss.Hit();
}

bool TW_NetSimulator::FailConnect() {
    if (!IsEnabled()) return false;
    TW_LockGuard lock(&m_lckPlan);
    return m_planConnect.Hit();
}

// ------------------------------------------------------------------ the fault thread

void TW_NetSimulator::FaultPass() {
    const uint32_t dwNow = m_lpSource->NowMs();
    // An interval of 0 ("0,0", the default) breaks a candidate on every pass;
    // only an empty candidate list stops it.
    if (m_uiBreakInterval == 0) {
        const uint32_t uiSeconds = Between(Chance(), m_cfg.ulBreakMin, m_cfg.ulBreakMax);
        m_uiBreakInterval = uiSeconds > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : uiSeconds * 1000;
    }
    if (dwNow - m_dwBreakStart >= m_uiBreakInterval) {
        SOCKET s = INVALID_SOCKET;
        uint32_t uiSeq = 0;
        {
            TW_LockGuard lock(&m_host.SimTableLock());
            if (SimSocket* lpSt = PickCandidateLocked(&s)) uiSeq = lpSt->uiSeq;
        }
        // Through the engine, as a peer's reset would come: the host
        // hears it once and the handle stays the engine's to close.
        if (uiSeq != 0) m_host.SimBreak(s, uiSeq);
        m_dwBreakStart = m_lpSource->NowMs();
        m_uiBreakInterval = 0;
    }
    TW_LockGuard lock(&m_lckPlan);
    if (m_planLoss.uiPlanned == 0)
        m_planLoss.Draw(*m_lpSource, Between(Chance(), m_cfg.ulLostMin, m_cfg.ulLostMax) * 10, kLossOrdinals);
    if (m_planConnect.uiPlanned == 0)
        m_planConnect.Draw(*m_lpSource, Between(Chance(), m_cfg.ulConnFailMin, m_cfg.ulConnFailMax),
                           kConnOrdinals);
}

// ------------------------------------------------------------------ sockets

TW_NetSimulator::SimSocket* TW_NetSimulator::PickCandidateLocked(SOCKET* lpS) {
    TW_ASSERT_LOCKED(m_host.SimTableLock());
    for (;;) {
        const int n = m_arrCandidate.GetSize();
        if (n == 0) return nullptr;
        const int i = int(Chance() * (n - 1));
        if (i < 0 || i >= n) return nullptr;
        const SOCKET s = m_arrCandidate[i];
        SimSocket** lpp = m_mapSocket.LookupPtr(s);
        TW_ASSERT(lpp);
        SocketData* lpRec = m_host.SimFindLocked(s, (*lpp)->uiSeq);
        if (lpRec && lpRec->status == SS_CONNECTED) {
            *lpS = s;
            return *lpp;
        }
        // Failed meanwhile (the host has not closed it yet): no candidate.
        DropLocked(s);
    }
}

TW_NetSimulator::HoldResult TW_NetSimulator::HoldSend(SocketData& rec, const char* lpData, uint32_t uiLen) {
    TW_ASSERT_LOCKED(m_host.SimTableLock());
    if (!IsEnabled() || !m_cfg.TcpDelayConfigured() || rec.bUdp || rec.status != SS_CONNECTED) return HOLD_NO;
    SimSocket** lpp = m_mapSocket.LookupPtr(rec.socket);
    SimSocket* lpSt = lpp ? *lpp : nullptr;
    if (lpSt && lpSt->uiSeq != rec.uiSeq) {
        DropLocked(rec.socket);  // an earlier socket's: never its bytes on this one
        lpSt = nullptr;
    }
    if (!lpSt) {
        lpSt = new SimSocket();
        lpSt->uiSeq = rec.uiSeq;
        m_mapSocket[rec.socket] = lpSt;
        m_arrCandidate.Add(rec.socket);
    }
    if (!lpSt->bDelayed) return HOLD_NO;
    HeldPacket pkt;
    pkt.lpData = static_cast<char*>(MemPoolAlloc(uiLen));
    if (!pkt.lpData) return HOLD_FAILED;
    std::memcpy(pkt.lpData, lpData, uiLen);
    pkt.dwTime = m_lpSource->NowMs();
    pkt.dwFlag = rec.dwSendFlag;
    pkt.uiLen = uiLen;
    lpSt->listHeld.AddTail(pkt);
    return HOLD_YES;
}

uint32_t TW_NetSimulator::HeldCountLocked(const SocketData& rec) {
    TW_ASSERT_LOCKED(m_host.SimTableLock());
    SimSocket** lpp = m_mapSocket.LookupPtr(rec.socket);
    return lpp && (*lpp)->uiSeq == rec.uiSeq ? uint32_t((*lpp)->listHeld.GetCount()) : 0;
}

void TW_NetSimulator::Forget(const SocketData& rec) {
    TW_ASSERT_LOCKED(m_host.SimTableLock());
    DropLocked(rec.socket);
}

static void RemoveFrom(TW_Array<SOCKET>& arr, SOCKET s) {
    const int n = arr.GetSize();
    for (int i = 0; i < n; ++i) {
        if (arr[i] != s) continue;
        for (int j = i + 1; j < n; ++j) arr[j - 1] = arr[j];  // later ones move down a place
        arr.SetSize(n - 1);
        return;
    }
}

void TW_NetSimulator::DropLocked(SOCKET s) {
    SimSocket* lpSt = nullptr;
    if (!m_mapSocket.Lookup(s, lpSt)) return;
    RemoveFrom(m_arrCandidate, s);
    if (lpSt->bDelayed) RemoveFrom(m_arrDelayed, s);
    FreeHeld(*lpSt);
    delete lpSt;
    m_mapSocket.RemoveKey(s);
}

void TW_NetSimulator::FreeHeld(SimSocket& st) {
    while (!st.listHeld.IsEmpty()) MemPoolFree(st.listHeld.RemoveHead().lpData);
}

// ------------------------------------------------------------------ the delay thread

void TW_NetSimulator::DelayPass() {
    struct Failure {
        SOCKET s;
        uint32_t uiSeq;
        int nError;
    };
    TW_Array<Failure> arrFailed;
    {
        TW_LockGuard lock(&m_host.SimTableLock());
        if (!m_cfg.TcpDelayConfigured()) return;
        // Admission: the set may reach maxaffect + 1 sockets.
        if (uint32_t(m_arrDelayed.GetSize()) <= m_cfg.ulMaxAffect) {
            SOCKET s;
            SimSocket* lpSt = PickCandidateLocked(&s);
            if (lpSt && !lpSt->bDelayed) {
                lpSt->bDelayed = true;
                lpSt->dwEnterTime = m_lpSource->NowMs();
                lpSt->uiDelayMs = Between(Chance(), m_cfg.ulTcpDelayMin, m_cfg.ulTcpDelayMax);
                m_arrDelayed.Add(s);
            }
        }
        for (int i = 0; i < m_arrDelayed.GetSize();) {
            const SOCKET s = m_arrDelayed[i];
            SimSocket* lpSt = nullptr;
            m_mapSocket.Lookup(s, lpSt);
            TW_ASSERT(lpSt && lpSt->bDelayed);
            SocketData* lpRec = m_host.SimFindLocked(s, lpSt->uiSeq);
            if (!lpRec || lpRec->status != SS_CONNECTED) {
                DropLocked(s);  // failed meanwhile: its bytes have nowhere to go
                continue;
            }
            const uint32_t dwNow = m_lpSource->NowMs();
            const bool bOver = dwNow - lpSt->dwEnterTime + 1 >= kEpisodeMs;
            bool bFailed = false;
            while (!lpSt->listHeld.IsEmpty()) {
                HeldPacket& pkt = lpSt->listHeld.GetHead();
                if (!bOver && dwNow - pkt.dwTime < lpSt->uiDelayMs) break;
                if (!m_host.SimSendLocked(*lpRec, pkt.lpData, pkt.uiLen, pkt.dwFlag)) {
                    // What follows must not leave with a hole before it.
                    arrFailed.Add(Failure{s, lpSt->uiSeq, pf::GetLastError()});
                    bFailed = true;
                    break;
                }
                MemPoolFree(lpSt->listHeld.RemoveHead().lpData);
            }
            if (bFailed) {
                DropLocked(s);
                continue;
            }
            if (bOver && lpSt->listHeld.IsEmpty()) {
                lpSt->bDelayed = false;  // still a candidate: it may be chosen again
                RemoveFrom(m_arrDelayed, s);
                continue;
            }
            ++i;
        }
    }
    for (int i = 0; i < arrFailed.GetSize(); ++i) m_host.SimFail(arrFailed[i].s, arrFailed[i].uiSeq, arrFailed[i].nError);
}

// ------------------------------------------------------------------ for tests

int TW_NetSimulator::CandidateCount() {
    TW_LockGuard lock(&m_host.SimTableLock());
    return m_arrCandidate.GetSize();
}

int TW_NetSimulator::DelayedCount() {
    TW_LockGuard lock(&m_host.SimTableLock());
    return m_arrDelayed.GetSize();
}

bool TW_NetSimulator::IsDelayed(SOCKET s) {
    TW_LockGuard lock(&m_host.SimTableLock());
    SimSocket* lpSt = nullptr;
    return m_mapSocket.Lookup(s, lpSt) && lpSt->bDelayed;
}

uint32_t TW_NetSimulator::DelayOf(SOCKET s) {
    TW_LockGuard lock(&m_host.SimTableLock());
    SimSocket* lpSt = nullptr;
    return m_mapSocket.Lookup(s, lpSt) && lpSt->bDelayed ? lpSt->uiDelayMs : 0;
}
