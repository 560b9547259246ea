// Doubly linked list whose nodes come from blocks of TW_Plex. An emptied list
// holds no memory. A position is a node pointer; null ends a walk.
#ifndef TW_LIST_H
#define TW_LIST_H

#include <cstring>
#include <new>
#include <utility>

#include "TW_Assert.h"
#include "TW_Locker.h"
#include "TW_Plex.h"

typedef void* POSITION;

template <class T>
class TW_List {
    struct Node {
        Node* pNext;
        Node* pPrev;
        T data;
    };

public:
    explicit TW_List(int nBlockSize = 10) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}
    ~TW_List() { RemoveAll(); }
    TW_List(const TW_List&) = delete;
    TW_List& operator=(const TW_List&) = delete;

    int GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    T& GetHead() { TW_ASSERT(m_pHead); return m_pHead->data; }
    T& GetTail() { TW_ASSERT(m_pTail); return m_pTail->data; }

    POSITION AddTail(const T& v) {
        Node* n = NewNode(m_pTail, nullptr);
        n->data = v;
        if (m_pTail) m_pTail->pNext = n;
        else m_pHead = n;
        m_pTail = n;
        return n;
    }
    POSITION AddHead(const T& v) {
        Node* n = NewNode(nullptr, m_pHead);
        n->data = v;
        if (m_pHead) m_pHead->pPrev = n;
        else m_pTail = n;
        m_pHead = n;
        return n;
    }

    T RemoveHead() {
        TW_ASSERT(m_pHead);
        Node* n = m_pHead;
        T v = std::move(n->data);
        m_pHead = n->pNext;
        if (m_pHead) m_pHead->pPrev = nullptr;
        else m_pTail = nullptr;
        FreeNode(n);
        return v;
    }
    T RemoveTail() {
        TW_ASSERT(m_pTail);
        Node* n = m_pTail;
        T v = std::move(n->data);
        m_pTail = n->pPrev;
        if (m_pTail) m_pTail->pNext = nullptr;
        else m_pHead = nullptr;
        FreeNode(n);
        return v;
    }
    void RemoveAt(POSITION pos) {
        Node* n = static_cast<Node*>(pos);
        TW_ASSERT(n);
        if (n == m_pHead) m_pHead = n->pNext;
        else n->pPrev->pNext = n->pNext;
        if (n == m_pTail) m_pTail = n->pPrev;
        else n->pNext->pPrev = n->pPrev;
        FreeNode(n);
    }

    void RemoveAll() {
        for (Node* n = m_pHead; n; n = n->pNext) n->data.~T();
        m_pHead = m_pTail = nullptr;
        m_pFree = nullptr;
        m_nCount = 0;
        if (m_pBlocks) m_pBlocks->FreeDataChain();
        m_pBlocks = nullptr;
    }

    POSITION GetHeadPosition() const { return m_pHead; }
    POSITION GetTailPosition() const { return m_pTail; }
    T& GetNext(POSITION& pos) {
        Node* n = static_cast<Node*>(pos);
        pos = n->pNext;
        return n->data;
    }
    T& GetPrev(POSITION& pos) {
        Node* n = static_cast<Node*>(pos);
        pos = n->pPrev;
        return n->data;
    }
    T& GetAt(POSITION pos) { return static_cast<Node*>(pos)->data; }

    // Position of the first element equal to v, or null.
    POSITION Find(const T& v) const {
        for (Node* n = m_pHead; n; n = n->pNext)
            if (n->data == v) return n;
        return nullptr;
    }

private:
    Node* NewNode(Node* pPrev, Node* pNext) {
        if (!m_pFree) {
            TW_Plex* b = TW_Plex::Create(m_pBlocks, uint32_t(m_nBlockSize), sizeof(Node));
            // Pushed from last to first so that nodes are handed out in
            // ascending address order.
            Node* first = static_cast<Node*>(b->data());
            for (int i = m_nBlockSize - 1; i >= 0; --i) {
                first[i].pNext = m_pFree;
                m_pFree = &first[i];
            }
        }
        Node* n = m_pFree;
        m_pFree = n->pNext;
        ++m_nCount;
        n->pPrev = pPrev;
        n->pNext = pNext;
        std::memset(static_cast<void*>(&n->data), 0, sizeof(T));
        new (&n->data) T();
        return n;
    }
    void FreeNode(Node* n) {
        n->data.~T();
        n->pNext = m_pFree;
        m_pFree = n;
        if (--m_nCount == 0) RemoveAll();
    }

    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    int m_nCount = 0;
    Node* m_pFree = nullptr;
    TW_Plex* m_pBlocks = nullptr;
    int m_nBlockSize;
};

// A list and its lock in one object; guard it with TW_LockGuard(&list).
template <class T>
class TW_LockedList : public TW_List<T>, public TW_Locker {
public:
    explicit TW_LockedList(int nBlockSize = 10) : TW_List<T>(nBlockSize) {}
};

#endif
