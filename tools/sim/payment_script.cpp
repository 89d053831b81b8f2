#include "sim/payment_script.h"

namespace sim {

void queue_payment(Terminal& t, const Payment& p)
{
    t.expect_frame(p.request_prefix, p.timeout_ms).send_ack();
    t.pause(p.gap_ms).send_frame(p.first_answer).expect_ack(p.timeout_ms);
    for (const std::string& frame_text : p.intermediate)
        t.pause(p.gap_ms).send_frame(frame_text).expect_ack(p.timeout_ms);
    t.pause(p.gap_ms).send_frame(p.final_response).expect_ack(p.timeout_ms);
    t.expect_frame(p.confirmation, p.timeout_ms).send_ack();
}

void queue_single_answer(Terminal& t, const std::string& request_prefix, const std::string& response,
                         unsigned timeout_ms)
{
    t.expect_frame(request_prefix, timeout_ms).send_ack().pause(50).send_frame(response).expect_ack(timeout_ms);
}

int find_event(const std::vector<Event>& events, Event::Kind kind, size_t from, const std::string* data)
{
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind && (data == nullptr || events[i].data == *data))
            return static_cast<int>(i);
    }
    return -1;
}

int find_event(const std::vector<Event>& events, Event::Kind kind, const std::string& data, size_t from)
{
    return find_event(events, kind, from, &data);
}

size_t count_events(const std::vector<Event>& events, Event::Kind kind)
{
    size_t n = 0;
    for (const Event& e : events)
        n += e.kind == kind ? 1 : 0;
    return n;
}

bool payment_times(const std::vector<Event>& events, const std::string& final_response, PaymentTimes* out)
{
    const int fin = find_event(events, Event::SentFrame, final_response);
    if (fin < 0)
        return false;
    const int ack = find_event(events, Event::RecvAck, static_cast<size_t>(fin) + 1);
    if (ack < 0)
        return false;
    const int conf = find_event(events, Event::RecvFrame, static_cast<size_t>(ack) + 1);
    if (conf < 0)
        return false;
    out->final_sent = events[static_cast<size_t>(fin)].at_ms;
    out->ack_received = events[static_cast<size_t>(ack)].at_ms;
    out->confirmation = events[static_cast<size_t>(conf)].at_ms;
    return true;
}

}  // namespace sim
