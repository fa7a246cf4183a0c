// The socket tests' peer (socket_peer.py) as a child process, driven over a
// loopback control connection made with the binding under test.
//
// The peer connects back to a port the test listens on rather than
// printing its own: a Windows test program under Wine can start the Linux
// python by its Z: path, but the child gets none of the program's pipe ends.
// The peer ends when the control connection closes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/captured_process.h"
#include "os/os.h"
#include "os/socket.h"

namespace kez::test {

// An IPv4 address in network byte order from its four parts.
inline std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[i];
    return v;
}
inline const std::uint32_t kLoopback = ipv4(127, 0, 0, 1);

// Whether the Windows build runs under Wine, whose Winsock differs from
// Windows' in a few reports.
inline bool under_wine() {
    os::Module ntdll = os::module_if_loaded("ntdll.dll");
    return ntdll != nullptr && os::module_symbol(ntdll, "wine_get_version") != nullptr;
}

// Byte i of the peer's pattern.
inline unsigned char pattern_byte(std::size_t i, unsigned seed) { return static_cast<unsigned char>(seed + i * 7); }

// Waits for one socket; the flags it got (0 on time-out or failure).
inline unsigned wait_for(os::net::Socket s, unsigned want, std::uint32_t timeout_ms) {
    os::net::PollEntry e{s, want, 0};
    int ready = 0;
    return os::net::poll(&e, 1, timeout_ms, &ready) == 0 ? e.got : 0;
}

class SocketPeer {
public:
#ifdef KEZ_SOCKET_PEER_SCRIPT
    // Needs a started binding. ok() tells whether the peer answers.
    SocketPeer() : SocketPeer(KEZ_SOCKET_PEER_SCRIPT) {}
#endif
    // Another peer script that takes --connect and --lifetime and answers
    // line commands the same way (serial_peer.py).
    explicit SocketPeer(const char *script) {
        namespace net = os::net;
        net::Socket listener = net::kInvalidSocket;
        std::uint16_t port = 0;
        if (net::open(net::Kind::stream, &listener) != 0) return;
        if (net::bind(listener, kLoopback, 0) == 0 && net::listen(listener) == 0 &&
            net::local_name(listener, nullptr, &port) == 0) {
            const std::string port_text = std::to_string(port);
            const char *arguments[] = {script, "--connect", port_text.c_str(), "--lifetime", "600",
                                       nullptr};
            child_ = os::process_start(KEZ_PYTHON3, arguments);
            // Accepts until the peer's connection comes or 30 s pass; an
            // early wake-up without one is waited out.
            const std::uint64_t deadline = os::tick_count_ms() + 30000;
            while (child_ != nullptr && control_ == net::kInvalidSocket && os::tick_count_ms() < deadline) {
                if ((wait_for(listener, net::kReadable, 200) & net::kReadable) == 0) continue;
                net::accept(listener, &control_, nullptr, nullptr);
            }
        }
        net::close(listener);
    }
    ~SocketPeer() {
        if (control_ != os::net::kInvalidSocket) {
            command("quit");
            os::net::close(control_);
        }
        // Under Wine the child cannot be waited for; it ends on its own.
        if (child_ != nullptr) os::process_stop(child_, 5000);
    }
    SocketPeer(const SocketPeer &) = delete;
    SocketPeer &operator=(const SocketPeer &) = delete;

    bool ok() const { return control_ != os::net::kInvalidSocket; }

    // Sends a command line and returns the reply line without its end;
    // "ERR test: ..." when the peer did not answer within timeout_ms.
    std::string command(const std::string &line, std::uint32_t timeout_ms = 20000) {
        namespace net = os::net;
        const std::uint64_t deadline = os::tick_count_ms() + timeout_ms;
        const std::string out = line + "\n";
        for (std::size_t done = 0; done < out.size();) {
            std::size_t sent = 0;
            const int e = net::send(control_, out.data() + done, out.size() - done, &sent);
            if (e == net::kWsaWouldBlock && os::tick_count_ms() < deadline) {
                wait_for(control_, net::kWritable, 100);
                continue;
            }
            if (e != 0) return "ERR test: send " + std::to_string(e);
            done += sent;
        }
        for (;;) {
            const std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string reply = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return reply;
            }
            if (os::tick_count_ms() >= deadline) return "ERR test: no reply to " + line;
            if ((wait_for(control_, net::kReadable, 100) & net::kReadable) == 0) continue;
            char chunk[4096];
            std::size_t got = 0;
            const int e = net::recv(control_, chunk, sizeof chunk, false, &got);
            if (e == net::kWsaWouldBlock) continue;
            if (e != 0 || got == 0) return "ERR test: control connection lost";
            pending_.append(chunk, got);
        }
    }

    // The reply's words after "OK"; empty when it was not OK. The reply
    // is kept in last_reply either way.
    std::vector<std::string> ask(const std::string &line) {
        const std::string reply = command(line);
        last_reply = reply;
        std::vector<std::string> words;
        if (reply.compare(0, 2, "OK") != 0) return words;
        std::size_t at = 2;
        while (at < reply.size()) {
            const std::size_t start = reply.find_first_not_of(' ', at);
            if (start == std::string::npos) break;
            const std::size_t stop = reply.find(' ', start);
            words.push_back(reply.substr(start, stop - start));
            at = stop == std::string::npos ? reply.size() : stop;
        }
        if (words.empty()) words.push_back("");
        return words;
    }
    // The first word of an OK reply as a number; -1000000 otherwise.
    long number(const std::string &line, std::size_t index = 0) {
        const std::vector<std::string> words = ask(line);
        return index < words.size() && !words[index].empty() ? std::strtol(words[index].c_str(), nullptr, 10)
                                                             : -1000000;
    }

    std::string last_reply;

private:
    os::StartedProcess *child_ = nullptr;
    os::net::Socket control_ = os::net::kInvalidSocket;
    std::string pending_;
};

}  // namespace kez::test
