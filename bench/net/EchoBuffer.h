// The input buffer of one connection in the baseline echo servers: bytes are
// read into its free tail, complete frames are echoed from its start, and the
// incomplete rest moves to the front.
#ifndef BENCH_NET_ECHOBUFFER_H
#define BENCH_NET_ECHOBUFFER_H

#include <cstdlib>
#include <cstring>
#include <new>

namespace bench {

class EchoBuffer {
public:
    // Reads of at least this size keep streaming down to few system calls,
    // while an idle connection only touches the pages it used.
    static constexpr size_t kMinFree = 16 * 1024;

    EchoBuffer() = default;
    EchoBuffer(const EchoBuffer&) = delete;
    EchoBuffer& operator=(const EchoBuffer&) = delete;
    ~EchoBuffer() { std::free(m_data); }

    char* Data() { return m_data; }
    size_t Size() const { return m_size; }

    // Room for at least kMinFree more bytes; the pointer is valid until the next call.
    char* Free() {
        if (m_cap - m_size < kMinFree) {
            const size_t cap = m_size + kMinFree > 2 * m_cap ? m_size + kMinFree : 2 * m_cap;
            void* p = std::realloc(m_data, cap);
            if (!p)
                throw std::bad_alloc();
            m_data = static_cast<char*>(p);
            m_cap = cap;
        }
        return m_data + m_size;
    }
    size_t FreeSize() const { return m_cap - m_size; }
    void Grow(size_t n) { m_size += n; }

    // Drops the first n bytes (the frames just echoed).
    void Consume(size_t n) {
        std::memmove(m_data, m_data + n, m_size - n);
        m_size -= n;
    }

private:
    char* m_data = nullptr;
    size_t m_cap = 0;
    size_t m_size = 0;
};

}  // namespace bench

#endif
