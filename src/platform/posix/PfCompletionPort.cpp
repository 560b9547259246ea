#include "PfCompletionPort.h"

#include "PfDescriptorState.h"

namespace pf {

void DetachFromPort(int) {}

}  // namespace pf
