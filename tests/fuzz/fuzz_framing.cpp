// The notice framing loop driven by arbitrary input: chunk sizes, requested
// lengths, how much the sink consumes, reads during an offer and closes
// inside the callback. Every offer is checked against the byte stream model
// of the unit tests; a fault or a leaked block aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "../net/NoticeFramingHarness.h"

namespace {
struct FuzzedChoices : FramingChoices {
    FuzzedChoices(const uint8_t* lpData, size_t uiSize) : fdp(lpData, uiSize) {}
    bool Exhausted() override { return fdp.remaining_bytes() == 0; }
    uint32_t Next(uint32_t uiMax) override { return fdp.ConsumeIntegralInRange<uint32_t>(0, uiMax); }
    FuzzedDataProvider fdp;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t uiSize) {
    FuzzedChoices choices(lpData, uiSize);
    std::string strFault = FramingScenario(choices).Run(100000);
    if (strFault.empty()) return 0;
    std::fprintf(stderr, "framing fault: %s\n", strFault.c_str());
    std::abort();
}
