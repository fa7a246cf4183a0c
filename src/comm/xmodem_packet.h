// XModem framing: protocol bytes, the block checks and the layout of a
// packet in its buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::comm::xmodem {

constexpr unsigned char kSOH = 1;
constexpr unsigned char kSTX = 2;
constexpr unsigned char kEOT = 4;
constexpr unsigned char kACK = 6;
constexpr unsigned char kNAK = 21;
constexpr unsigned char kCAN = 24;
constexpr unsigned char kCRC = 'C';

constexpr int kLongBlock = 1024;         // data bytes after STX
constexpr int kShortBlock = 128;         // data bytes after SOH when the configured size is 1024
constexpr std::size_t kHeaderBytes = 3;  // header, number, its complement
constexpr std::size_t kMaxCheckBytes = 2;

// The XMODEM CRC-16: polynomial 0x1021, initial value 0, no reflection, no
// final XOR.
std::uint16_t crc16(const unsigned char *data, std::size_t n);
// The sum of the bytes modulo 256.
unsigned char checksum(const unsigned char *data, std::size_t n);

// Buffer bytes a transfer with this configured packet size needs: room for
// an STX block whatever the size, so a peer's 1K packet always fits.
std::size_t buffer_bytes(int packet_size);

// Frames the `data_size` data bytes already at `packet + kHeaderBytes`:
// header, number and complement in front, the check behind. The packet's
// length on the wire.
std::size_t frame(unsigned char *packet, std::size_t data_size, unsigned char number, bool crc);

// Whether the check bytes at `check` match the data.
bool check_matches(const unsigned char *data, std::size_t n, const unsigned char *check, bool crc);

}  // namespace kez::comm::xmodem
