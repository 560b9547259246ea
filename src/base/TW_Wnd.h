// A hidden window as a C++ object: a derived class overrides WindowProc and
// receives every message of its window, starting with kWmCreate, with
// m_hWnd already set. The object is found from the window's user data,
// stored when the creation message arrives (it travels as the creation
// parameter), so windows of several objects may be created at once on
// different threads. A window and all its messages belong to the thread
// that created it.
#ifndef TW_WND_H
#define TW_WND_H

#include <cstdint>

#include "PfWindow.h"

class TW_Wnd {
public:
    TW_Wnd() = default;
    // Destroys the window (from its own thread).
    virtual ~TW_Wnd();
    TW_Wnd(const TW_Wnd&) = delete;
    TW_Wnd& operator=(const TW_Wnd&) = delete;

    // The class atom. A class that exists already is no failure and gives
    // 0, as any other failure does: tell them apart by the last error.
    static uint16_t RegisterWndClass(const wchar_t* lpszClass);
    static bool UnregisterWndClass(const wchar_t* lpszClass);

    // True when the object has a window afterwards (also when it had one).
    // lpCreateParam reaches WindowProc as the lParam of kWmCreate.
    bool Create(const wchar_t* lpszClass, const wchar_t* lpszTitle, uint32_t uiStyle, void* lpCreateParam = nullptr);
    // False without a window.
    bool Destroy();

    pf::WindowHandle GetHandle() const { return m_hWnd; }
    bool PostMessage(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) const {
        return pf::PostWindowMessage(m_hWnd, uiMsg, wParam, lParam);
    }

    // The calling thread's message loop: true when it ended with kWmQuit,
    // false when the queue failed (instead of spinning on it).
    static bool RunMessageLoop();

protected:
    // Default: DefWindowProc.
    virtual intptr_t WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);

    pf::WindowHandle m_hWnd = nullptr;

private:
    struct Creation {
        TW_Wnd* lpThis;
        void* lpCreateParam;
    };
    static intptr_t Route(pf::WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam);
};

#endif
