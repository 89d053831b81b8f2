// A client of ecrsim's control API for tests: whole requests as raw bytes
// (well-formed or not) over a real loopback connection, the answer read with
// Boost.Beast, and an event-stream reader on a thread of its own.
#pragma once
#include <nlohmann/json.hpp>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace httpprobe {

struct Reply {
    int status = 0;  // 0: no answer could be read
    std::string body;
    nlohmann::json json;  // the body parsed (discarded when it is no JSON)
};

// Sends the bytes as they are and reads one answer (limit timeout_ms).
Reply raw(unsigned port, const std::string& bytes, unsigned timeout_ms = 5000);
// A well-formed request with Connection: close.
Reply call(unsigned port, const std::string& method, const std::string& path, const std::string& body = "");
// A connected socket that sends nothing (closed by the caller); -1 on failure.
int idle_connection(unsigned port);

// GET path as an event stream; everything received is kept.
class EventStream {
public:
    EventStream(unsigned port, const std::string& path);
    ~EventStream();
    std::string text() const;

private:
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mu;
    std::string m_text;
    std::thread m_thread;
};

}  // namespace httpprobe
