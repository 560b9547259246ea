// Building protocol bytes in tests: B({5, 0, 0, 1}) + Ip4(127, 0, 0, 1) +
// Be16(port).
#ifndef VX_TEST_WIRE_BYTES_H
#define VX_TEST_WIRE_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <string>

namespace vxtest {

inline std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

// A 16-bit value in network order.
inline std::string Be16(uint16_t v) { return B({v >> 8, v & 0xFF}); }

inline std::string Ip4(int a, int b, int c, int d) { return B({a, b, c, d}); }

// A SOCKS5 reply with an IPv4 address.
inline std::string Socks5Reply(int nRep, const std::string& ip4, uint16_t wPort) {
    return B({5, nRep, 0, 1}) + ip4 + Be16(wPort);
}

// The SOCKS5 UDP relay header for an IPv4 address.
inline std::string RelayHeader(const std::string& ip4, uint16_t wPort) { return B({0, 0, 0, 1}) + ip4 + Be16(wPort); }

}  // namespace vxtest

#endif
