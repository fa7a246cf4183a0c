#include "comm/net_address.h"

#include <cstdio>

#include "os/socket.h"

namespace kez::comm {
namespace {

std::uint32_t to_network(std::uint32_t host_order) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(host_order >> 24),
                                   static_cast<std::uint8_t>(host_order >> 16),
                                   static_cast<std::uint8_t>(host_order >> 8), static_cast<std::uint8_t>(host_order)};
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

std::uint32_t to_host(std::uint32_t network_order) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | ((network_order >> (8 * i)) & 0xFFu);
    return value;
}

}  // namespace

bool parse_dotted(const char *text, std::uint32_t *address) {
    if (text == nullptr) return false;
    std::uint32_t value = 0;
    int dots = 0;
    int digits = 0;
    unsigned part = 0;
    for (const char *p = text;; ++p) {
        if (*p >= '0' && *p <= '9') {
            if (++digits > 3) return false;
            part = part * 10 + static_cast<unsigned>(*p - '0');
            continue;
        }
        if (*p != '.' && *p != '\0') return false;
        if (part > 255) return false;
        value = (value << 8) | part;
        part = 0;
        digits = 0;
        if (*p == '\0') break;
        if (++dots > 3) return false;
    }
    if (dots != 3) return false;
    *address = to_network(value);
    return true;
}

bool has_letter(const char *text) {
    for (const char *p = text; p != nullptr && *p != '\0'; ++p)
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')) return true;
    return false;
}

void format_dotted(std::uint32_t address, char *out) {
    const std::uint32_t v = to_host(address);
    std::snprintf(out, 16, "%u.%u.%u.%u", (v >> 24) & 0xFFu, (v >> 16) & 0xFFu, (v >> 8) & 0xFFu, v & 0xFFu);
}

int resolve_host(const char *text, std::uint32_t *address) {
    if (text == nullptr || *text == '\0') text = "127.0.0.1";
    if (parse_dotted(text, address)) return 0;
    std::uint32_t found = 0;
    std::size_t count = 0;
    const int error = os::net::resolve(text, &found, 1, &count);
    if (error != 0) return error;
    if (count == 0) return os::net::kWsaHostNotFound;
    *address = found;
    return 0;
}

bool is_multicast(std::uint32_t address) {
    const std::uint32_t first = to_host(address) >> 24;
    return first >= 224 && first <= 239;
}

}  // namespace kez::comm
