// Growable array of plain elements (copied bitwise when it grows).
#ifndef TW_ARRAY_H
#define TW_ARRAY_H

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "TW_Assert.h"

template <class T>
class TW_Array {
    static_assert(std::is_trivially_copyable_v<T>, "TW_Array moves its elements bitwise");

public:
    TW_Array() = default;
    ~TW_Array() { std::free(m_pData); }
    TW_Array(const TW_Array&) = delete;
    TW_Array& operator=(const TW_Array&) = delete;

    int GetSize() const { return m_nSize; }
    int GetCapacity() const { return m_nMaxSize; }
    T* GetData() { return m_pData; }

    T& operator[](int i) {
        TW_ASSERT(i >= 0 && i < m_nSize);
        return m_pData[i];
    }
    const T& operator[](int i) const {
        TW_ASSERT(i >= 0 && i < m_nSize);
        return m_pData[i];
    }

    void SetSize(int nNewSize, int nGrowBy = -1) {
        TW_ASSERT(nNewSize >= 0);
        if (nGrowBy != -1) m_nGrowBy = nGrowBy;
        if (nNewSize == 0) {
            std::free(m_pData);
            m_pData = nullptr;
            m_nSize = m_nMaxSize = 0;
        } else if (!m_pData) {
            m_pData = static_cast<T*>(std::calloc(size_t(nNewSize), sizeof(T)));
            TW_ASSERT(m_pData);
            m_nSize = m_nMaxSize = nNewSize;
        } else if (nNewSize <= m_nMaxSize) {
            if (nNewSize > m_nSize)
                std::memset(static_cast<void*>(m_pData + m_nSize), 0, size_t(nNewSize - m_nSize) * sizeof(T));
            m_nSize = nNewSize;
        } else {
            int nStep = m_nGrowBy;
            if (nStep == 0) {
                nStep = m_nSize / 8;
                nStep = nStep < 4 ? 4 : (nStep > 1024 ? 1024 : nStep);
            }
            int nNewMax = m_nMaxSize + nStep > nNewSize ? m_nMaxSize + nStep : nNewSize;
            T* p = static_cast<T*>(std::calloc(size_t(nNewMax), sizeof(T)));
            TW_ASSERT(p);
            std::memcpy(static_cast<void*>(p), m_pData, size_t(m_nSize) * sizeof(T));
            std::free(m_pData);
            m_pData = p;
            m_nSize = nNewSize;
            m_nMaxSize = nNewMax;
        }
    }

    void SetAtGrow(int i, const T& v) {
        TW_ASSERT(i >= 0);
        if (i >= m_nSize) SetSize(i + 1, -1);
        m_pData[i] = v;
    }
    int Add(const T& v) {
        SetAtGrow(m_nSize, v);
        return m_nSize - 1;
    }
    void RemoveAll() { SetSize(0); }

private:
    T* m_pData = nullptr;
    int m_nSize = 0;
    int m_nMaxSize = 0;
    int m_nGrowBy = 0;
};

#endif
