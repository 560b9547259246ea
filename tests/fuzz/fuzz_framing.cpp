// The notice framing loop driven by arbitrary input: chunk sizes, requested
// lengths, how much the sink consumes, reads during an offer and closes
// inside the callback. Every offer is checked against the byte stream model
// of the unit tests; a fault or a leaked block aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../net/NoticeFramingHarness.h"

namespace {

class FuzzedChoices : public FramingChoices {
public:
    FuzzedChoices(const uint8_t* lpData, size_t uiSize) : m_fdp(lpData, uiSize) {}
    bool Exhausted() override { return m_fdp.remaining_bytes() == 0; }
    uint32_t Next(uint32_t uiMax) override { return m_fdp.ConsumeIntegralInRange<uint32_t>(0, uiMax); }

private:
    FuzzedDataProvider m_fdp;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t uiSize) {
    FuzzedChoices choices(lpData, uiSize);
    FramingScenario scenario(choices);
    std::string strFault = scenario.Run(100000);
    if (!strFault.empty()) {
        std::fprintf(stderr, "framing fault: %s\n", strFault.c_str());
        std::abort();
    }
    return 0;
}
