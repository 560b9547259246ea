#include "PfWindow.h"

#include "PfDescriptorState.h"

namespace pf {

void DetachFromAsyncSelect(int) {}

}  // namespace pf
