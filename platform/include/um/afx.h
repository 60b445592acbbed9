// The MFC-like layer's core: assertions, CObject, the multibyte CString and the list classes.
// The layer is the multibyte build: UNICODE is not defined where it is used.
#pragma once

#ifdef UNICODE
#error "the MFC-like layer is the multibyte build: UNICODE must not be defined"
#endif

#include <windows.h>

#include <hv_classlib.h>
#include <cstringt.h>

#include <cstddef>
#include <utility>

// A failed assertion writes its line to the debugger log and the code goes on.
#define ASSERT(expr) ((void)HV_CLASSLIB_CHECK(expr, #expr))
#define VERIFY(expr) ASSERT(expr)
#define ASSERT_VALID(object) ASSERT((object) != nullptr)
#define TRACE(...) ((void)0)
#define afx_msg
#define AFXAPI

class CObject {
public:
    virtual ~CObject() = default;

protected:
    CObject() = default;
};

typedef CStringT<char> CString;

// A position in a list: the node, or null past the end.
struct __POSITION {};
typedef __POSITION* POSITION;

// A doubly linked list of values in insertion order.
template <class TYPE, class ARG_TYPE = const TYPE&> class CList : public CObject {
public:
    explicit CList(INT_PTR block_size = 10) { (void)block_size; }
    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;
    ~CList() { RemoveAll(); }

    INT_PTR GetCount() const { return m_nCount; }
    INT_PTR GetSize() const { return m_nCount; }
    BOOL IsEmpty() const { return m_nCount == 0; }

    // On an empty list the head and tail are default values (and an assertion).
    TYPE& GetHead() { return Checked(m_pHead)->data; }
    const TYPE& GetHead() const { return Checked(m_pHead)->data; }
    TYPE& GetTail() { return Checked(m_pTail)->data; }
    const TYPE& GetTail() const { return Checked(m_pTail)->data; }

    POSITION AddHead(ARG_TYPE value) { return InsertNode(nullptr, m_pHead, value); }
    POSITION AddTail(ARG_TYPE value) { return InsertNode(m_pTail, nullptr, value); }
    POSITION InsertBefore(POSITION at, ARG_TYPE value) {
        Node* node = NodeOf(at);
        return node ? InsertNode(node->prev, node, value) : AddHead(value);
    }
    POSITION InsertAfter(POSITION at, ARG_TYPE value) {
        Node* node = NodeOf(at);
        return node ? InsertNode(node, node->next, value) : AddTail(value);
    }

    TYPE RemoveHead() {
        if (!HV_CLASSLIB_CHECK(m_pHead, "RemoveHead of an empty list")) return TYPE();
        TYPE value = std::move(m_pHead->data);
        Unlink(m_pHead);
        return value;
    }
    TYPE RemoveTail() {
        if (!HV_CLASSLIB_CHECK(m_pTail, "RemoveTail of an empty list")) return TYPE();
        TYPE value = std::move(m_pTail->data);
        Unlink(m_pTail);
        return value;
    }
    void RemoveAt(POSITION at) {
        if (Node* node = NodeOf(at)) Unlink(node);
    }
    void RemoveAll() {
        while (m_pHead) Unlink(m_pHead);
    }

    POSITION GetHeadPosition() const { return Position(m_pHead); }
    POSITION GetTailPosition() const { return Position(m_pTail); }
    // The value at the position, which moves on (null after the last).
    TYPE& GetNext(POSITION& at) {
        Node* node = Checked(NodeOf(at));
        at = Position(node->next);
        return node->data;
    }
    const TYPE& GetNext(POSITION& at) const { return const_cast<CList*>(this)->GetNext(at); }
    TYPE& GetPrev(POSITION& at) {
        Node* node = Checked(NodeOf(at));
        at = Position(node->prev);
        return node->data;
    }
    TYPE& GetAt(POSITION at) { return Checked(NodeOf(at))->data; }
    const TYPE& GetAt(POSITION at) const { return Checked(NodeOf(at))->data; }
    void SetAt(POSITION at, ARG_TYPE value) {
        if (Node* node = NodeOf(at)) node->data = value;
    }

    // The first position after `after` (from the head when null) whose value equals `value`.
    POSITION Find(ARG_TYPE value, POSITION after = nullptr) const {
        Node* node = after ? NodeOf(after) : m_pHead;
        if (after && node) node = node->next;
        for (; node; node = node->next)
            if (node->data == value) return Position(node);
        return nullptr;
    }
    POSITION FindIndex(INT_PTR index) const {
        if (index < 0 || index >= m_nCount) return nullptr;
        Node* node = m_pHead;
        while (index-- > 0) node = node->next;
        return Position(node);
    }

private:
    struct Node : __POSITION {
        Node* prev;
        Node* next;
        TYPE data;
    };

    static POSITION Position(Node* node) { return node; }
    static Node* NodeOf(POSITION at) { return static_cast<Node*>(at); }
    // A null position stands for a node that holds a default value, so that a bad walk reads
    // a default instead of memory.
    Node* Checked(Node* node) const {
        if (HV_CLASSLIB_CHECK(node, "a list position past the end")) return node;
        m_empty.data = TYPE();
        return &m_empty;
    }
    POSITION InsertNode(Node* prev, Node* next, ARG_TYPE value) {
        Node* node = new Node{{}, prev, next, TYPE(value)};
        (prev ? prev->next : m_pHead) = node;
        (next ? next->prev : m_pTail) = node;
        ++m_nCount;
        return node;
    }
    void Unlink(Node* node) {
        (node->prev ? node->prev->next : m_pHead) = node->next;
        (node->next ? node->next->prev : m_pTail) = node->prev;
        delete node;
        --m_nCount;
    }

    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    INT_PTR m_nCount = 0;
    mutable Node m_empty{{}, nullptr, nullptr, TYPE()};
};

class CStringList : public CList<CString, LPCSTR> {
public:
    explicit CStringList(INT_PTR block_size = 10) : CList<CString, LPCSTR>(block_size) {}
};
