// Ready-made terminal scripts for the payment and service exchanges, and
// helpers to find items in a terminal's event log.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/terminal.h"

namespace sim {

// The terminal's side of a whole payment:
//   expect the request, ACK, first answer, expect ACK,
//   each intermediate frame followed by an expected ACK,
//   final response, expect ACK, expect the confirmation, ACK.
struct Payment {
    std::string request_prefix;              // e.g. "PUR10."
    std::string first_answer;                // e.g. "PUR11."
    std::vector<std::string> intermediate;   // wait notices, text messages, ...
    std::string final_response;              // e.g. join_fields({"PUR12.", ...})
    std::string confirmation;                // expected confirmation, e.g. "PUR13."
    unsigned gap_ms = 50;                    // pause before each frame the terminal sends
    unsigned timeout_ms = 30000;             // for each expected item
};
void queue_payment(Terminal& t, const Payment& p);

// The terminal's side of a single-response exchange: expect the request,
// ACK it, send the response, expect the library's ACK.
void queue_single_answer(Terminal& t, const std::string& request_prefix, const std::string& response,
                         unsigned timeout_ms = 30000);

// The index of the first event of the given kind (and data, when given) at or
// after index from; -1 when there is none.
int find_event(const std::vector<Event>& events, Event::Kind kind, size_t from = 0, const std::string* data = nullptr);
int find_event(const std::vector<Event>& events, Event::Kind kind, const std::string& data, size_t from = 0);
// How many events of the kind the log holds.
size_t count_events(const std::vector<Event>& events, Event::Kind kind);

// Times of the end of a payment, taken from the event log.
struct PaymentTimes {
    uint64_t final_sent = 0;     // the terminal sent the final response
    uint64_t ack_received = 0;   // the library's ACK of it arrived
    uint64_t confirmation = 0;   // the confirmation frame arrived
};
// False when the final response, the ACK after it or a frame after that ACK
// is missing.
bool payment_times(const std::vector<Event>& events, const std::string& final_response, PaymentTimes* out);

}  // namespace sim
