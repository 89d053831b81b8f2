// Card data planted in every layout that carries it, and in frames of no
// layout (a bad check byte, oversized, cut short, stale), on every link:
// none of it, and no run of 8 digits of the card number, reaches the log.
// With the fail-closed rule switched off (test builds only) the same run
// shows the leaks that rule closes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Logging/redact.h"
#include "compat/compat.h"
#include "support/library_link.h"
#include "protocol/pos_handle.h"
#include "protocol/pos_link.h"
#include "sim/frame.h"
#include "support/sim_link.h"

namespace {

const std::string kPan = "5500005555555559";  // Luhn-valid
const std::string kExpiry = "1227";
const std::string kName = "JOHN/SMITH";
const std::string kTrack1 = "B" + kPan + "^SMITH/JOHN^2712101";
const std::string kTrack2 = kPan + "=27121011234";
const std::string kPinBlock = "8A3F01C4D2E5B697";

// A standard transaction response (after its header) with the card in it.
std::vector<std::string> standard()
{
    return {"00", "1", "7", "000000001234", "", kPan, kExpiry + kName, kName, "000042ABC123011209", "MID", "",
            "RRN", "VISA", "T1", "", "BANK", "RECEIPT", "", ""};
}

std::vector<std::string> with_header(const std::string& header, std::vector<std::string> f)
{
    f.front() = header + f.front();
    return f;
}

// Every received layout with card fields.
std::vector<std::string> layouts()
{
    std::vector<std::string> cid = with_header("CID12.", standard());
    cid.insert(cid.begin() + 1, {kPan, "RNK", "PROD"});
    return {sim::join_fields(with_header("PUR12.", standard())), sim::join_fields(with_header("VOD16.", standard())),
            sim::join_fields(cid), sim::join_fields(with_header("GTL11.", standard())),
            sim::join_fields({"LRW12.00", "1", "7", "000000001234", "000123", "7", kPan, "081226"}),
            sim::join_fields({"CRD11." + kTrack1, kTrack2, "", "HASH"}), "APP11." + kPinBlock};
}

// The bytes of every dump in the log, put together again from the hex
// column (a value cut across two lines of a listing is whole there).
std::string dumped_bytes(const std::string& log)
{
    std::string out;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        const size_t bar = line.find(" | ");
        if (bar != std::string::npos && bar >= 3 && line.find_first_not_of("0123456789ABCDEF") == bar) {
            for (size_t k = 0, i = bar + 3; k < 16 && i + 2 <= line.size() && line[i] != ' '; ++k, i += 3)
                out += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        } else {
            out += '\n';
        }
        at = end + 1;
    }
    return out;
}

// Everything planted that the log shows, as text or in a dump, described.
std::vector<std::string> leaks(const std::string& text)
{
    const std::string log = text + "\n" + dumped_bytes(text);
    std::vector<std::string> found;
    for (const std::string& c : {kPan, kExpiry + kName, kName, kTrack1, kTrack2, kPinBlock, std::string("JOHN"),
                                 std::string("SMITH"), std::string("=2712")})
        if (log.find(c) != std::string::npos)
            found.push_back(c);
    for (size_t i = 0; i + 8 <= kPan.size(); ++i)
        if (log.find(kPan.substr(i, 8)) != std::string::npos)
            found.push_back("digits " + kPan.substr(i, 8));
    return found;
}

class CardCanary : public ::testing::TestWithParam<sim::Link> {
protected:
    // One run of the whole script; the log it wrote.
    std::string run()
    {
        support::LogCapture log("canary", true);
        sim::Terminal term(GetParam());
        support::LibraryLink link(term);
        EXPECT_TRUE(link.open());
        pos_set_timeouts(link.handle(), 1, 5);
        const std::string response = sim::join_fields(with_header("PUR12.", standard()));
        std::string bad = sim::frame(response);
        bad.back() = static_cast<char>(bad.back() ^ 0x55);
        std::string oversized = sim::join_fields(with_header("PUR12.", standard()));
        oversized += std::string(POS_MAX_READ_MESSAGE, 'R');
        const std::string next = sim::frame("SMS10.next");
        term.expect_frame("PUR10.");  // the request with the tracks (and UDP learns the address)
        for (const std::string& m : layouts())
            term.send_frame(m);
        term.send_raw(bad + next).send_raw(sim::frame(oversized) + next);
        // Cut short inside the card number, then left for the next exchange.
        term.send_raw(sim::frame(response).substr(0, response.find(kPan) + 10)).expect_ack();
        term.send_frame(response).expect_ack();  // stale: never read
        term.start();

        std::string request = sim::join_fields({"PUR10.01", "1001", "000000001234", "000000000000", "980", "000000",
                                                kTrack1, kTrack2, "", "000", "00", "", "", "", "0", "", ""});
        EXPECT_EQ(pos_write_packet(link.handle(), reinterpret_cast<unsigned char*>(&request[0]),
                                   static_cast<unsigned int>(request.size())),
                  SE_OK);
        std::vector<unsigned char> buf(POS_MAX_RESPONSE);
        unsigned int len = 0;
        for (size_t i = 0; i < layouts().size(); ++i)
            EXPECT_EQ(pos_link_read_frame(link.handle(), buf.data(), POS_MAX_RESPONSE, &len, Deadline::in_ms(3000)),
                      SE_OK);
        EXPECT_EQ(pos_read_packet(link.handle(), buf.data(), &len), SE_OK);  // past the bad frame
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), len), "SMS10.next");
        EXPECT_EQ(pos_read_packet(link.handle(), buf.data(), &len), SE_SIZE);
        EXPECT_EQ(pos_read_packet(link.handle(), buf.data(), &len), SE_OK);
        for (int stale = 0; stale < 2; ++stale) {
            Sleep(300);
            pos_link_drop_stale(link.handle());
            pos_link_send_ack(link.handle());
        }
        EXPECT_TRUE(term.wait_done(5000));
        EXPECT_EQ(term.errors(), std::vector<std::string>());
        EXPECT_EQ(link.handle()->bad_frames, 1u);
        return log.text();
    }
};

TEST_P(CardCanary, NothingPlantedReachesTheLogAndTheFailClosedRuleIsWhatKeepsItOut)
{
    const std::string log = run();
    for (const char* dumped : {"Frame with a bad check byte dropped, size[", "Frame longer than 16383 bytes refused",
                               "Bytes left from an earlier exchange dropped["})
        EXPECT_NE(log.find(dumped), std::string::npos) << dumped;
    EXPECT_EQ(leaks(log), std::vector<std::string>());

    el::detail::set_fail_closed(false);
    const std::string open_log = run();
    el::detail::set_fail_closed(true);
    const std::vector<std::string> found = leaks(open_log);
    for (const std::string& c : {kExpiry + kName, std::string("digits 55000055")})
        EXPECT_NE(std::find(found.begin(), found.end(), c), found.end()) << c;
}

INSTANTIATE_TEST_SUITE_P(Links, CardCanary, ECR_ALL_LINKS, support::LinkParamName());

}  // namespace
