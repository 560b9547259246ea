// Windows and async-select on Win32: message-only windows and WSAAsyncSelect.
// A WindowHandle is the HWND itself. The class's window procedure is a
// trampoline that finds the caller's procedure in the window's extra bytes
// (stored at WM_NCCREATE) and passes on only kWmCreate (first, with the
// creation parameter), kWmDestroy and messages from kWmUser up, as the
// POSIX backend has no others.
#include "PfWindow.h"

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <string>

#include "PfError.h"
#include "PfSync.h"

namespace pf {

namespace {

HWND Hwnd(WindowHandle h) { return reinterpret_cast<HWND>(h); }
WindowHandle Handle(HWND h) { return reinterpret_cast<WindowHandle>(h); }

// Window extra bytes: the procedure of the caller's class.
constexpr int kProcOffset = 0;

struct CreateParams {
    WindowProc fnProc;
    void* lpCreateParam;
};

LRESULT CALLBACK Trampoline(HWND hWnd, UINT uiMsg, WPARAM wParam, LPARAM lParam) {
    if (uiMsg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* p = static_cast<CreateParams*>(cs->lpCreateParams);
        SetWindowLongPtrW(hWnd, kProcOffset, reinterpret_cast<LONG_PTR>(p->fnProc));
        return DefWindowProcW(hWnd, uiMsg, wParam, lParam);
    }
    auto fn = reinterpret_cast<WindowProc>(GetWindowLongPtrW(hWnd, kProcOffset));
    if (!fn) return DefWindowProcW(hWnd, uiMsg, wParam, lParam);
    if (uiMsg == WM_CREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* p = static_cast<CreateParams*>(cs->lpCreateParams);
        return fn(Handle(hWnd), kWmCreate, wParam, intptr_t(p->lpCreateParam));
    }
    // The caller's procedure sees what a POSIX window has too: its creation,
    // its destruction and posted messages; the rest is the system's.
    if (uiMsg != WM_DESTROY && uiMsg < WM_USER) return DefWindowProcW(hWnd, uiMsg, wParam, lParam);
    return fn(Handle(hWnd), uiMsg, wParam, lParam);
}

// The caller's procedure of each class registered here, found by name at
// each creation.
CriticalSection s_lckClass;
std::map<std::wstring, WindowProc> s_mapClass;

}  // namespace

uint16_t RegisterWindowClass(const wchar_t* lpszClass, WindowProc fnProc) {
    if (!lpszClass || !fnProc) {
        SetLastError(kErrInvalid);
        return 0;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Trampoline;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = lpszClass;
    s_lckClass.Enter();
    ATOM atom = RegisterClassExW(&wc);
    DWORD dwError = ::GetLastError();
    if (atom) s_mapClass[lpszClass] = fnProc;
    s_lckClass.Leave();
    if (!atom) SetLastError(dwError == ERROR_CLASS_ALREADY_EXISTS ? kErrClassExists : int(dwError));
    return atom;
}

bool UnregisterWindowClass(const wchar_t* lpszClass) {
    if (!lpszClass) return false;
    s_lckClass.Enter();
    bool bOk = UnregisterClassW(lpszClass, GetModuleHandleW(nullptr));
    if (bOk) s_mapClass.erase(lpszClass);
    s_lckClass.Leave();
    return bOk;
}

WindowHandle CreateHiddenWindow(const wchar_t* lpszClass, const wchar_t* lpszTitle, uint32_t uiStyle,
                                void* lpCreateParam) {
    if (!lpszClass) return nullptr;
    CreateParams params{nullptr, lpCreateParam};
    s_lckClass.Enter();
    auto it = s_mapClass.find(lpszClass);
    if (it != s_mapClass.end()) params.fnProc = it->second;
    s_lckClass.Leave();
    if (!params.fnProc) {
        SetLastError(kErrInvalid);
        return nullptr;
    }
    // Message-only: never shown, no desktop presence, all it does is queue.
    HWND hWnd = CreateWindowExW(0, lpszClass, lpszTitle ? lpszTitle : L"", uiStyle & ~WS_VISIBLE, 0, 0, 0, 0,
                                HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), &params);
    return Handle(hWnd);
}

bool DestroyHiddenWindow(WindowHandle hWnd) { return hWnd && DestroyWindow(Hwnd(hWnd)); }

intptr_t DefWindowProc(WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    return DefWindowProcW(Hwnd(hWnd), uiMsg, wParam, lParam);
}

void SetWindowUserData(WindowHandle hWnd, void* lpData) {
    if (hWnd) SetWindowLongPtrW(Hwnd(hWnd), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(lpData));
}

void* GetWindowUserData(WindowHandle hWnd) {
    return hWnd ? reinterpret_cast<void*>(GetWindowLongPtrW(Hwnd(hWnd), GWLP_USERDATA)) : nullptr;
}

bool PostWindowMessage(WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    return hWnd && PostMessageW(Hwnd(hWnd), uiMsg, wParam, lParam);
}

bool PostThreadMessage(uint32_t uiThreadId, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    return PostThreadMessageW(uiThreadId, uiMsg, wParam, lParam);
}

int GetMessage(Message* lpMsg) {
    if (!lpMsg) return -1;
    MSG msg;
    BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == -1) return -1;
    lpMsg->hWnd = Handle(msg.hwnd);
    lpMsg->uiMsg = msg.message;
    lpMsg->wParam = msg.wParam;
    lpMsg->lParam = msg.lParam;
    return r ? 1 : 0;
}

intptr_t DispatchMessage(const Message* lpMsg) {
    if (!lpMsg || !lpMsg->hWnd) return 0;
    MSG msg{};
    msg.hwnd = Hwnd(lpMsg->hWnd);
    msg.message = lpMsg->uiMsg;
    msg.wParam = lpMsg->wParam;
    msg.lParam = lpMsg->lParam;
    return DispatchMessageW(&msg);
}

int AsyncSelect(SOCKET s, WindowHandle hWnd, uint32_t uiMsg, uint32_t uiEvents) {
    return WSAAsyncSelect(s, Hwnd(hWnd), uiMsg, long(uiEvents));
}

}  // namespace pf
