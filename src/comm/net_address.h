// IPv4 address texts as both socket libraries read and write them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::comm {

// A dotted text by the engine's one rule: digits and dots only, exactly
// three dots, each number at most three digits (an empty number is 0) and
// at most 255, all decimal ("010" is 10). The address in network byte
// order, or false when the text is not such a dotted address.
bool parse_dotted(const char *text, std::uint32_t *address);
// Whether the text holds a letter, which makes it a host name.
bool has_letter(const char *text);
// "a.b.c.d" of an address in network byte order; out holds at least 16 bytes.
void format_dotted(std::uint32_t address, char *out);

// A host argument: null or empty is 127.0.0.1; a dotted text is that
// address (255.255.255.255 included, without a lookup); anything else is
// looked up by name and gives its first address. 0, or the lookup's
// Winsock code (or kWsaHostNotFound when the name has no IPv4 address).
int resolve_host(const char *text, std::uint32_t *address);

// Multicast group range 224.0.0.0 to 239.255.255.255.
bool is_multicast(std::uint32_t address);

}  // namespace kez::comm
