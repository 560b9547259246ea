#include "TW_Wnd.h"

#include "PfError.h"
#include "TW_Assert.h"

uint16_t TW_Wnd::RegisterWndClass(const wchar_t* lpszClass) {
    uint16_t wAtom = pf::RegisterWindowClass(lpszClass, &TW_Wnd::StartProc);
    if (wAtom == 0 && pf::GetLastError() != pf::kErrClassExists) TW_ASSERT(false);
    return wAtom;
}

bool TW_Wnd::UnregisterWndClass(const wchar_t* lpszClass) { return pf::UnregisterWindowClass(lpszClass); }

bool TW_Wnd::Create(const wchar_t* lpszClass, const wchar_t* lpszTitle, uint32_t uiStyle) {
    if (m_hWnd) return true;
    pf::WindowHandle hWnd = pf::CreateHiddenWindow(lpszClass, lpszTitle, uiStyle, this);
    return hWnd != nullptr && m_hWnd == hWnd;
}

bool TW_Wnd::Destroy() {
    if (!m_hWnd) return false;
    pf::WindowHandle hWnd = m_hWnd;
    pf::DestroyHiddenWindow(hWnd);
    m_hWnd = nullptr;
    return true;
}

void TW_Wnd::RunMessageLoop() {
    pf::Message msg;
    while (pf::GetMessage(&msg) > 0) pf::DispatchMessage(&msg);
}

intptr_t TW_Wnd::WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    return pf::DefWindowProc(m_hWnd, uiMsg, wParam, lParam);
}

intptr_t TW_Wnd::StartProc(pf::WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    auto* lpThis = static_cast<TW_Wnd*>(pf::GetWindowUserData(hWnd));
    if (!lpThis && uiMsg == pf::kWmCreate) {
        // The first message carries the object; from now on the window does.
        lpThis = static_cast<TW_Wnd*>(reinterpret_cast<void*>(lParam));
        if (!lpThis) return pf::DefWindowProc(hWnd, uiMsg, wParam, lParam);
        lpThis->m_hWnd = hWnd;
        pf::SetWindowUserData(hWnd, lpThis);
    }
    if (!lpThis) return pf::DefWindowProc(hWnd, uiMsg, wParam, lParam);
    return lpThis->WindowProc(uiMsg, wParam, lParam);
}
