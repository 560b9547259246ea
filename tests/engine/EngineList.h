// The managers the conformance suite (and the real-peer tests) run against,
// with what each is allowed to report differently.
#ifndef VX_TEST_ENGINE_LIST_H
#define VX_TEST_ENGINE_LIST_H

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct EngineTraits {
    const char* lpszName;
    // What OnSocketConnect reports for a connect to a port nobody listens on.
    int nConnectFailError;
    // A container (a facade over the one shared manager): its user never
    // hears OnDnsParse or OnSocketPreAccept, and it owns only the sockets it
    // registered, so CloseSocket of any other handle fails.
    bool bContainer = false;
};

inline void PrintTo(const EngineTraits& t, std::ostream* os) { *os << t.lpszName; }

inline std::vector<EngineTraits> EngineList() {
    return {
        // The select engine reports every failed attempt as a time-out.
        {"ISelectSocketMgr1.0", 10060},
        // The completion-port engine reports the connect's own error.
        {"IIocpSocketMgr1.0", 10061},
        // The async-select engine reports the connect's own error.
        {"IAsyncSocketMgr1.0", 10061},
        // The same engines behind containers.
        {"ISelectSocketMgr2.0", 10060, true},
        {"IIocpSocketMgr2.0", 10061, true},
        {"IAsyncSocketMgr2.0", 10061, true},
    };
}

// "ISelectSocketMgr1.0" -> "ISelectSocketMgr1_0" (test names allow no dots).
inline std::string EngineParamName(const testing::TestParamInfo<EngineTraits>& info) {
    std::string name = info.param.lpszName;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

#endif
