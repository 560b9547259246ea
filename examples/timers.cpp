// Per-socket timers: a repeating event timer, a one-shot event timer and a
// receive-idle check on one UDP socket that never receives anything. Timer
// events come on the engine's timer threads, with the socket's user words.
//
//   timers [interface]
#include <atomic>

#include "ExampleSink.h"

class TimerSink : public ExampleSink {
public:
    std::atomic<int> ticks{0};

    // Event 1 repeats every 100 ms; uiPeriod is the value given to SetEventTimer.
    void OnSocketTimer(SOCKET s, uint32_t event, uint32_t value, uint32_t u1, uint32_t) override {
        std::printf("event timer %u (value %u) on socket %u, user word %u\n", event, value, unsigned(s), u1);
        if (event == 1 && ++ticks == 5) {
            mgr->KillEventTimer(s, 1);
            mgr->KillRecvIdleTimer(s);
            Finish(true);
        }
    }

    // Nothing arrived for 150 ms; the check repeats until it is killed.
    void OnSocketRecvIdle(int, SOCKET s, uint32_t, uint32_t) override {
        std::printf("socket %u: nothing received for 150 ms\n", unsigned(s));
    }
};

int main(int argc, char** argv) {
    TimerSink sink;
    ISocketMgr* mgr = StartEngine(argc > 1 ? argv[1] : nullptr, sink);
    if (!mgr) return 1;

    const SOCKET s = mgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 42, 0);
    const bool ok = s != INVALID_SOCKET &&
                    mgr->SetEventTimer(s, 1, 100, 100, false) &&  // every 100 ms
                    mgr->SetEventTimer(s, 2, 250, 7, true) &&     // once, after 250 ms; 7 comes back
                    mgr->SetRecvIdleTimer(s, 150) && sink.Wait();
    if (!ok)
        std::printf("the timers did not run\n");
    StopEngine(mgr);
    return ok ? 0 : 1;
}
