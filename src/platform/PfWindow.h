// Hidden windows and async-select, with the meaning of Win32 windows and
// WSAAsyncSelect. A window belongs to the thread that created it; messages
// posted to it or to that thread, and the socket notifications of
// AsyncSelect, come out of that thread's one FIFO queue through GetMessage
// and reach the window's procedure through DispatchMessage.
//
// AsyncSelect follows Windows' re-enabling rules:
//   - a registration replaces the previous one (mask 0 cancels) and reports
//     the current conditions at once (data to read, send room, a pending
//     connection, a closed connection);
//   - one message per event until re-enabled: FD_READ by a receive, FD_ACCEPT
//     by an accept, FD_WRITE only after a send failed with kErrWouldBlock and
//     room came back (and once after a connect);
//   - FD_CONNECT exactly once per connect, with its error, and never followed
//     by a false FD_CLOSE;
//   - FD_CLOSE once: 0 for a graceful close only when no unread data remains,
//     kErrConnReset at once for a reset;
//   - an accepted socket inherits the listener's registration;
//   - no notification is posted after the call that cancels it, or the
//     socket's close, returns.
// A connect that gets no answer fails with kErrTimedOut when the system
// gives up: about 21 s on Windows, after Linux's SYN retries (about 127 s
// by default) on POSIX.
//
// Windows: the real windows and WSAAsyncSelect. POSIX: each thread that owns
// a window has a queue whose GetMessage waits on epoll and an eventfd; the
// queue is unbounded.
#ifndef VX_PF_WINDOW_H
#define VX_PF_WINDOW_H

#include <cstdint>

#include "PfSocket.h"

namespace pf {

struct WindowObject;
typedef WindowObject* WindowHandle;

enum : uint32_t {
    kWmCreate = 0x0001,  // WM_CREATE: the first message a window's procedure sees
    kWmDestroy = 0x0002, // WM_DESTROY
    kWmQuit = 0x0012,    // WM_QUIT: ends GetMessage
    kWmUser = 0x0400     // WM_USER: the first number free for the caller
};

enum : uint32_t {  // network events of AsyncSelect
    kFdRead = 1,
    kFdWrite = 2,
    kFdAccept = 8,
    kFdConnect = 16,
    kFdClose = 32
};

typedef intptr_t (*WindowProc)(WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);

struct Message {
    WindowHandle hWnd;  // null for a thread message
    uint32_t uiMsg;
    uintptr_t wParam;
    intptr_t lParam;
};

// Registers a window class of this process. Returns its atom, or 0: when the
// class exists already the last error is kErrClassExists.
enum : int { kErrClassExists = 1410 };  // ERROR_CLASS_ALREADY_EXISTS
uint16_t RegisterWindowClass(const wchar_t* lpszClass, WindowProc fnProc);
bool UnregisterWindowClass(const wchar_t* lpszClass);

// A hidden window of the calling thread. Its procedure receives kWmCreate
// (lParam = lpCreateParam) before the call returns, then only kWmDestroy
// and messages from kWmUser up (the system's own go to DefWindowProc).
// A procedure that answers kWmCreate with -1 refuses the window. Null on
// failure.
WindowHandle CreateHiddenWindow(const wchar_t* lpszClass, const wchar_t* lpszTitle, uint32_t uiStyle,
                                void* lpCreateParam);
// From the owning thread; its procedure receives kWmDestroy first. Messages
// still queued for it are dropped.
bool DestroyHiddenWindow(WindowHandle hWnd);
intptr_t DefWindowProc(WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);
// A word of the caller's kept with the window (GWLP_USERDATA).
void SetWindowUserData(WindowHandle hWnd, void* lpData);
void* GetWindowUserData(WindowHandle hWnd);

// From any thread; false when the window (or the thread's queue) is gone.
bool PostWindowMessage(WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);
bool PostThreadMessage(uint32_t uiThreadId, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);
// Waits for the calling thread's next message: 1, 0 for kWmQuit, -1 on error.
int GetMessage(Message* lpMsg);
// Calls the procedure of the message's window; thread messages go nowhere.
intptr_t DispatchMessage(const Message* lpMsg);

// Posts (uiMsg, s, event | error << 16) to hWnd for the events of uiEvents
// (0 cancels). 0 on success, kSocketError with the last error otherwise.
// Puts s in non-blocking mode.
int AsyncSelect(SOCKET s, WindowHandle hWnd, uint32_t uiMsg, uint32_t uiEvents);

}  // namespace pf

#endif
