// The WTL-like drawing objects: a brush that owns its handle (CBrush) or not (CBrushHandle), and
// a device context handle (CDCHandle).
#pragma once

#include <atlbase.h>

namespace WTL {

template <bool t_bManaged> class CBrushT {
public:
    HBRUSH m_hBrush;

    CBrushT(HBRUSH brush = nullptr) : m_hBrush(brush) {}
    CBrushT(const CBrushT&) = delete;
    CBrushT& operator=(const CBrushT&) = delete;
    ~CBrushT() {
        if (t_bManaged && m_hBrush) DeleteObject();
    }

    operator HBRUSH() const { return m_hBrush; }
    bool IsNull() const { return m_hBrush == nullptr; }
    void Attach(HBRUSH brush) {
        if (t_bManaged && m_hBrush && m_hBrush != brush) ::DeleteObject(m_hBrush);
        m_hBrush = brush;
    }
    HBRUSH Detach() {
        HBRUSH brush = m_hBrush;
        m_hBrush = nullptr;
        return brush;
    }
    HBRUSH CreateSolidBrush(COLORREF color) {
        ATLASSERT(m_hBrush == nullptr);
        if (m_hBrush) return nullptr;
        m_hBrush = ::CreateSolidBrush(color);
        return m_hBrush;
    }
    BOOL DeleteObject() {
        if (!m_hBrush) return FALSE;
        BOOL deleted = ::DeleteObject(m_hBrush);
        if (deleted) m_hBrush = nullptr;
        return deleted;
    }
};
typedef CBrushT<false> CBrushHandle;
typedef CBrushT<true> CBrush;

template <bool t_bManaged> class CDCT {
public:
    HDC m_hDC;

    CDCT(HDC dc = nullptr) : m_hDC(dc) {}
    operator HDC() const { return m_hDC; }
    bool IsNull() const { return m_hDC == nullptr; }

    int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
    int GetBkMode() const { return ::GetBkMode(m_hDC); }
    COLORREF SetBkColor(COLORREF color) { return ::SetBkColor(m_hDC, color); }
    COLORREF SetTextColor(COLORREF color) { return ::SetTextColor(m_hDC, color); }
    int GetDeviceCaps(int index) const { return ::GetDeviceCaps(m_hDC, index); }
    HBRUSH SelectBrush(HBRUSH brush) { return static_cast<HBRUSH>(::SelectObject(m_hDC, brush)); }
    HFONT SelectFont(HFONT font) { return static_cast<HFONT>(::SelectObject(m_hDC, font)); }
};
typedef CDCT<false> CDCHandle;

} // namespace WTL

#ifndef _WTL_NO_AUTOMATIC_NAMESPACE
using namespace WTL;
#endif
