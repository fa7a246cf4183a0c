// XModem framing and block checks.
#include "comm/xmodem_packet.h"

#include <algorithm>
#include <array>

namespace kez::comm::xmodem {
namespace {

constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000u) ? (crc << 1) ^ 0x1021u : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();

}  // namespace

std::uint16_t crc16(const unsigned char *data, std::size_t n) {
    unsigned crc = 0;
    for (std::size_t i = 0; i < n; ++i) crc = ((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFFu]) & 0xFFFFu;
    return static_cast<std::uint16_t>(crc);
}

unsigned char checksum(const unsigned char *data, std::size_t n) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += data[i];
    return static_cast<unsigned char>(sum);
}

std::size_t buffer_bytes(int packet_size) {
    return static_cast<std::size_t>(std::max(packet_size, kLongBlock)) + kHeaderBytes + kMaxCheckBytes;
}

std::size_t frame(unsigned char *packet, std::size_t data_size, unsigned char number, bool crc) {
    packet[0] = data_size == static_cast<std::size_t>(kLongBlock) ? kSTX : kSOH;
    packet[1] = number;
    packet[2] = static_cast<unsigned char>(~number);
    unsigned char *check = packet + kHeaderBytes + data_size;
    if (crc) {
        const std::uint16_t value = crc16(packet + kHeaderBytes, data_size);
        check[0] = static_cast<unsigned char>(value >> 8);
        check[1] = static_cast<unsigned char>(value);
        return kHeaderBytes + data_size + 2;
    }
    check[0] = checksum(packet + kHeaderBytes, data_size);
    return kHeaderBytes + data_size + 1;
}

bool check_matches(const unsigned char *data, std::size_t n, const unsigned char *check, bool crc) {
    if (!crc) return check[0] == checksum(data, n);
    const std::uint16_t value = crc16(data, n);
    return check[0] == static_cast<unsigned char>(value >> 8) && check[1] == static_cast<unsigned char>(value);
}

}  // namespace kez::comm::xmodem
