// The control API of ecrsim: HTTP with JSON on a port of its own, served by
// a thread of its own, and the browser console on the same port.
//
// The terminal never waits for it: the server reads and changes the
// Director and the engine's journal through their short locks only, and
// learns of new wire events through a listener that merely posts a wake-up
// to its own thread.  Requests, bodies, connections and queued plans are
// bounded; whatever a client sends, it gets a status and a JSON reason.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace ecrsim {

class Director;
class Engine;

class ControlServer {
public:
    static constexpr size_t kMaxBody = 16 * 1024;
    static constexpr size_t kMaxConnections = 32;

    // Listens on host:port (port 0 picks a free one).  Null with a reason in
    // *error when the port cannot be had.
    static std::unique_ptr<ControlServer> start(const std::string& host, uint16_t port, Engine& engine,
                                                Director& director, std::string* error);
    ~ControlServer();  // stops the thread; open connections are closed
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // "http://127.0.0.1:8080/"
    std::string url() const;

    struct Impl;

private:
    ControlServer() = default;
    std::shared_ptr<Impl> m_impl;  // the listener given to the Director holds a weak reference
};

}  // namespace ecrsim
