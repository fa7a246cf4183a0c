// The serial tests' peer (serial_peer.py) as a child process: pseudo-terminal
// pairs whose slaves stand for COM ports, driven over a loopback control
// connection like the socket peer. Needs a started socket binding.
#pragma once

#include <string>
#include <vector>

#include "support/socket_peer.h"

namespace kez::test {

class SerialPeer : public SocketPeer {
public:
    SerialPeer() : SocketPeer(KEZ_SERIAL_PEER_SCRIPT) {}

    // A pair whose slave is linked as <dir>/com<n>: its id, -1 on failure.
    long open(const std::string &dir, int n) {
        const std::vector<std::string> words = ask("open " + dir + " " + std::to_string(n));
        if (words.size() < 2) return -1;
        slave = words[1];
        return std::strtol(words[0].c_str(), nullptr, 10);
    }
    // Bytes written to the master at once.
    bool write(long id, const std::string &bytes) {
        if (bytes.empty()) return true;
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char c : bytes) {
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        return number("write " + std::to_string(id) + " " + hex) == static_cast<long>(bytes.size());
    }
    // Up to n bytes that reached the master within ms; "ERR" words on failure.
    std::string read(long id, std::size_t n, unsigned ms) {
        const std::vector<std::string> words =
            ask("read " + std::to_string(id) + " " + std::to_string(n) + " " + std::to_string(ms));
        if (words.size() < 2) return "ERR";
        std::string out;
        for (std::size_t i = 0; i + 1 < words[1].size(); i += 2)
            out += static_cast<char>(std::stoi(words[1].substr(i, 2), nullptr, 16));
        return out;
    }

    // Writes `byte` every `every_ms` for `for_ms` in the background (0 stops).
    bool drip(long id, char byte, unsigned every_ms, unsigned for_ms) {
        static const char digits[] = "0123456789abcdef";
        const unsigned char c = static_cast<unsigned char>(byte);
        const std::string hex{digits[c >> 4], digits[c & 15]};
        return !ask("drip " + std::to_string(id) + " " + hex + " " + std::to_string(every_ms) + " " +
                    std::to_string(for_ms))
                    .empty();
    }
    // Runs lrzsz "sx" (sending `file`) or "rx" (receiving it) relayed to
    // pair `id`; flags are its options joined by commas ("-" for none),
    // noise the peer's fault list ("-" for none).
    bool relay(long id, const std::string &program, const std::string &file, const std::string &flags,
               const std::string &noise = "-") {
        return !ask("relay " + std::to_string(id) + " " + program + " " + file + " " + flags + " " + noise).empty();
    }
    // Relays between two pairs' masters, `from` sending the data.
    bool bridge(long from, long to, const std::string &noise = "-") {
        return !ask("bridge " + std::to_string(from) + " " + std::to_string(to) + " " + noise).empty();
    }
    // Waits up to ms for the relay (a bridge is stopped): false on failure,
    // else the program's exit status (0 for a bridge) and the faults injected.
    bool finish(long id, unsigned ms, int *status, int *faults) {
        const std::vector<std::string> words = ask("finish " + std::to_string(id) + " " + std::to_string(ms));
        if (words.size() < 2) return false;
        *status = std::stoi(words[0]);
        *faults = std::stoi(words[1]);
        return true;
    }

    std::string slave;  // the slave device of the last pair opened
};

}  // namespace kez::test
