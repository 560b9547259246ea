#include "TW_Wnd.h"

#include "PfError.h"

TW_Wnd::~TW_Wnd() { Destroy(); }

uint16_t TW_Wnd::RegisterWndClass(const wchar_t* lpszClass) { return pf::RegisterWindowClass(lpszClass, Route); }

bool TW_Wnd::UnregisterWndClass(const wchar_t* lpszClass) { return pf::UnregisterWindowClass(lpszClass); }

bool TW_Wnd::Create(const wchar_t* lpszClass, const wchar_t* lpszTitle, uint32_t uiStyle, void* lpCreateParam) {
    if (m_hWnd) return true;
    Creation c{this, lpCreateParam};
    if (!pf::CreateHiddenWindow(lpszClass, lpszTitle, uiStyle, &c)) m_hWnd = nullptr;  // refused in kWmCreate
    return m_hWnd != nullptr;
}

bool TW_Wnd::Destroy() {
    if (!m_hWnd) return false;
    pf::DestroyHiddenWindow(m_hWnd);
    m_hWnd = nullptr;
    return true;
}

bool TW_Wnd::RunMessageLoop() {
    pf::Message msg;
    for (;;) {
        int r = pf::GetMessage(&msg);
        if (r == 0) return true;
        if (r < 0) return false;
        pf::DispatchMessage(&msg);
    }
}

intptr_t TW_Wnd::WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    return pf::DefWindowProc(m_hWnd, uiMsg, wParam, lParam);
}

intptr_t TW_Wnd::Route(pf::WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    if (uiMsg == pf::kWmCreate) {
        auto* lpCreation = reinterpret_cast<Creation*>(lParam);
        if (!lpCreation || !lpCreation->lpThis) return -1;  // created by someone else: refused
        pf::SetWindowUserData(hWnd, lpCreation->lpThis);
        lpCreation->lpThis->m_hWnd = hWnd;
        return lpCreation->lpThis->WindowProc(uiMsg, wParam, intptr_t(lpCreation->lpCreateParam));
    }
    auto* lpThis = static_cast<TW_Wnd*>(pf::GetWindowUserData(hWnd));
    if (!lpThis) return pf::DefWindowProc(hWnd, uiMsg, wParam, lParam);
    return lpThis->WindowProc(uiMsg, wParam, lParam);
}
