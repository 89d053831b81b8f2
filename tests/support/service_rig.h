// The library's end of a link to the terminal simulator for the service
// exchange tests, and helpers to look at what the terminal saw.
#pragma once
#include <string>
#include <vector>

#include "protocol/pos_handle.h"
#include "sim/terminal.h"
#include "support/sim_link.h"
#include "transport/transport.h"

namespace support {

// A scripted terminal and an open CTransport to it.  The script is queued on
// term before start() opens the library's end.
struct Rig {
    sim::Terminal term;
    CTransport transport;
    PosHandle* h = nullptr;

    explicit Rig(sim::Link link = sim::Link::Tcp) : term(link) {}
    ~Rig() { transport.Close(); }

    // Start the script and connect; response_s is the handle's response time-out.
    bool start(unsigned short response_s = 40)
    {
        term.start();
        if (!support::open_to_terminal(transport, term))
            return false;
        h = transport.GetHandle();
        return h != nullptr && pos_set_timeouts(h, 5, response_s) == SE_OK;
    }

    // Wait for the script to end and report its errors.
    std::string finish(unsigned timeout_ms = 15000)
    {
        if (!term.wait_done(timeout_ms))
            return "script did not finish";
        std::string all;
        for (const std::string& e : term.errors())
            all += e + "\n";
        return all;
    }

    std::vector<sim::Event> events() const { return term.events(); }

    size_t count(sim::Event::Kind kind) const
    {
        size_t n = 0;
        for (const sim::Event& e : term.events())
            if (e.kind == kind)
                ++n;
        return n;
    }

    // Time of the first event of kind (with data, when given) at or after index from; 0 if none.
    uint64_t at(sim::Event::Kind kind, const std::string& data = "", size_t from = 0) const
    {
        const std::vector<sim::Event> ev = term.events();
        for (size_t i = from; i < ev.size(); ++i)
            if (ev[i].kind == kind && (data.empty() || ev[i].data == data))
                return ev[i].at_ms;
        return 0;
    }
};


// Milliseconds from the terminal's sending of response to the first ACK
// that came after it; -1 when none came.
inline long long ack_delay(const Rig& rig, const std::string& response)
{
    const std::vector<sim::Event> ev = rig.events();
    size_t i = 0;
    while (i < ev.size() && !(ev[i].kind == sim::Event::SentFrame && ev[i].data == response))
        ++i;
    if (i == ev.size())
        return -1;
    for (size_t k = i + 1; k < ev.size(); ++k)
        if (ev[k].kind == sim::Event::RecvAck)
            return static_cast<long long>(ev[k].at_ms) - static_cast<long long>(ev[i].at_ms);
    return -1;
}
}  // namespace support
