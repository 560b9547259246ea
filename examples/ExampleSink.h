// What every example shares: a sink that ignores the events an example does
// not override, a way for the main thread to wait until the example is done,
// and the choice of engine from the command line.
#ifndef VXNET_EXAMPLE_SINK_H
#define VXNET_EXAMPLE_SINK_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include <vxnet/vxnet.h>

class ExampleSink : public ISocketMgrSink {
public:
    ISocketMgr* mgr = nullptr;

    bool OnSocketPreAccept(sockaddr_in*, sockaddr_in*) override { return true; }
    void OnSocketConnect(int, SOCKET, uint32_t, uint32_t) override {}
    void OnSocketAccept(int, SOCKET, SOCKET, sockaddr_in*, sockaddr_in*) override {}
    void OnSocketRecv(int, SOCKET, const char*, uint32_t*, uint32_t, uint32_t) override {}
    void OnSocketRecvFrom(int, SOCKET, const char*, int, sockaddr_in*, uint32_t, uint32_t) override {}
    void OnSocketSend(int, SOCKET, uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void OnSocketClose(int, SOCKET, int, uint32_t, uint32_t) override {}
    void OnSocketRecvIdle(int, SOCKET, uint32_t, uint32_t) override {}
    void OnSocketSendIdle(int, SOCKET, uint32_t, uint32_t) override {}
    void OnDnsParse(const char*, uint32_t) override {}
    void OnSocketTimer(SOCKET, uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void OnSocketProxy(int, SOCKET, sockaddr_in*, uint32_t, uint32_t) override {}
    uint32_t OnSocketReserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                              uint32_t) override {
        return 0;
    }

    // Called from a callback when the example has its answer.
    void Finish(bool ok) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_done = true;
        m_ok = ok;
        m_cv.notify_one();
    }
    // The main thread waits here; false when Finish(false) came or nothing did in time.
    bool Wait(int seconds = 10) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; }) && m_ok;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_done = false;
    bool m_ok = false;
};

// Creates and starts the engine named on the command line (the select engine
// by default) with the sink in place before the first socket exists.
inline ISocketMgr* StartEngine(const char* name, ExampleSink& sink) {
    if (!name) name = VXNET_ISELECT_1_0;
    vxInitialize();
    ISocketMgr* mgr = vxCreateInstance(name);
    if (!mgr) {
        std::printf("engine %s is not available in this build\n", name);
        return nullptr;
    }
    sink.mgr = mgr;
    mgr->SetSink(&sink);
    if (!mgr->Start(0, 0, 0, 0)) {
        std::printf("engine %s did not start\n", name);
        vxDestroyInstance(mgr);
        return nullptr;
    }
    return mgr;
}

// Stop closes every socket without events; only then is the sink free to go.
inline void StopEngine(ISocketMgr* mgr) {
    mgr->Stop(2000);
    vxDestroyInstance(mgr);
    vxUninitialize();
}

#endif
