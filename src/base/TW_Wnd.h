// A hidden window as a C++ object: a derived class overrides WindowProc and
// receives every message of its window, the first one included, with the
// window handle already set. Routing goes through the window's user data, so
// windows of several objects may be created at once on different threads.
#ifndef TW_WND_H
#define TW_WND_H

#include <cstdint>

#include "PfWindow.h"

class TW_Wnd {
public:
    TW_Wnd() = default;
    virtual ~TW_Wnd() { Destroy(); }
    TW_Wnd(const TW_Wnd&) = delete;
    TW_Wnd& operator=(const TW_Wnd&) = delete;

    // The class atom; 0 when it exists already (not an error).
    static uint16_t RegisterWndClass(const wchar_t* lpszClass);
    static bool UnregisterWndClass(const wchar_t* lpszClass);
    // A window of the calling thread; true also when this object has one already.
    bool Create(const wchar_t* lpszClass, const wchar_t* lpszTitle, uint32_t uiStyle);
    bool Destroy();
    pf::WindowHandle GetHwnd() const { return m_hWnd; }
    // Dispatches the calling thread's messages until its quit message (or an
    // error, which ends the loop instead of spinning).
    static void RunMessageLoop();

protected:
    virtual intptr_t WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);

private:
    static intptr_t StartProc(pf::WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);
    pf::WindowHandle m_hWnd = nullptr;
};

#endif
