// Services of the POSIX backend that keep state per descriptor (the
// completion-port proactor, async-select) let go of it here. CloseSocket calls
// these before close(): once closed, the number may be handed out again at
// once, and nothing of the old socket may reach the new one.
#ifndef VX_PF_DESCRIPTOR_STATE_H
#define VX_PF_DESCRIPTOR_STATE_H

namespace pf {

// Completes the socket's outstanding port operations with
// kErrOperationAborted and deregisters it (PfCompletionPort.cpp).
void DetachFromPort(int fd);
// Cancels the socket's async-select registration (PfWindow.cpp).
void DetachFromAsyncSelect(int fd);

}  // namespace pf

#endif
