// Helpers of the service-operation and result-accessor tests: the ECR
// object connected to a scripted terminal over loopback TCP, the terminal's
// side of the single-response and audit exchanges, and the reference
// CP1251 -> UTF-8 bytes the tests expect.
#pragma once
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "sim/terminal.h"
#include "support/files.h"
#include "support/sim_link.h"

namespace support {

// The ECR object, with its connection opened to the terminal (TCP, loopback).
inline CVarkoClass2017* connect(sim::Terminal& t)
{
    CVarkoClass2017* ecr = create_object();
    ecr->put_TransportType(ECR_TRANSPORT_TCP);
    char ip[] = "127.0.0.1";
    ecr->put_PosIP(ip);
    ecr->put_PosPort(t.port());
    unsigned long opened = 1;
    ecr->PosOpen(0, &opened);
    return opened == 0 ? ecr : nullptr;
}

// The terminal's side of a single-response exchange: the exact request is
// acknowledged, the response sent, and the library's ACK expected.
inline void answer(sim::Terminal& t, const std::string& request, const std::string& response)
{
    t.expect_frame(request, 10000).send_ack().send_frame(response).expect_ack(10000);
}

// One audit record as the terminal sends it (84 bytes): status character,
// record number and last number (4 digits each) and 69 bytes of items.
inline std::string audit_packet(unsigned number, unsigned last, char status = '1')
{
    char head[16];
    std::snprintf(head, sizeof head, "%04u%04u", number, last);
    std::string items;
    for (int i = 0; i < 69; ++i)
        items += static_cast<char>('A' + (number + i) % 26);
    return "AUD11." + std::string(1, status) + head + items;
}

// The terminal's side of an audit: request, then every record, each
// confirmed by the library with ACK and the frame "AUD12.".
inline void audit(sim::Terminal& t, const std::string& selection, unsigned count)
{
    t.expect_frame("AUD10." + selection + kFS, 10000).send_ack();
    for (unsigned n = 1; n <= count; ++n)
        t.send_frame(audit_packet(n, count)).expect_ack(10000).expect_frame("AUD12.", 10000);
}

// One audit record as PosAudit hands it out: the more flag and the 77 bytes.
inline std::string handed(unsigned number, unsigned last, char more)
{
    return std::string(1, more) + audit_packet(number, last).substr(7);
}

// Reference conversion of the few CP1251 bytes the tests use.
inline std::string utf8_of(const std::string& cp1251)
{
    std::string out;
    for (unsigned char c : cp1251) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else if (c == 0x88)
            out += "\xE2\x82\xAC";  // euro sign
        else if (c >= 0xC0 && c <= 0xEF) {  // А..п
            const unsigned cp = 0x410 + (c - 0xC0);
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (c >= 0xF0) {  // р..я
            const unsigned cp = 0x440 + (c - 0xF0);
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += "?";  // not used by the tests
        }
    }
    return out;
}

// A CP1251 text of exactly n bytes: Cyrillic letters, ASCII and the euro sign.
inline std::string cp1251_text(std::size_t n)
{
    static const char pattern[] = "\xD7\xE5\xEA \x88 12.34\n\xC0\xE1\xE2\xFF";
    std::string s;
    while (s.size() < n)
        s += pattern[s.size() % (sizeof(pattern) - 1)];
    return s;
}

// Bank name in CP1251 ("Банк Тест") as the terminal sends it.
const std::string kBankName = "\xC1\xE0\xED\xEA \xD2\xE5\xF1\xF2";

// The fields of a complete transaction answer after its response code, in
// the order of the standard sequence (no settlement totals).  Every value is
// distinct so that a field landing in the wrong place is seen.
inline std::vector<std::string> full_fields(const std::string& receipt)
{
    return {
        "07",                            // cash register number
        "123456",                        // receipt number
        "000000001234",                  // amount 12.34
        "000000000050",                  // additional amount 0.50
        "41111111111111112345",          // card number, 20 characters: cut to 19
        "1227JOHN",                      // expiry MMYY and text
        "CARDTEXT",                      // text
        "000321A1B2C305031445VISAISS",   // invoice, approval, DDMMhhmm, issuer
        "MERCHANT0000001",               // merchant identifier
        "123456051070042",               // processing code, entry mode, condition, capture ref.
        "123456789012",                  // RRN
        "VISA CLASSIC",                  // card name
        "TERM0001",                      // terminal identifier
        "ADDITIONAL DATA",               // additional data
        kBankName,                       // bank name
        receipt,                         // receipt
        "LOGO",                          // bank logo
        "SIGN",                          // signature
        "",                              // (the signature ends with kFS)
    };
}

// A whole answer: header, response code, the full fields.
inline std::string full_answer(const std::string& header, const std::string& code, const std::string& receipt)
{
    std::vector<std::string> parts{header + code};
    for (auto& f : full_fields(receipt))
        parts.push_back(f);
    return msg(parts);
}

// A directory under /tmp for a log file, removed with its files.
class LogDir : public ScratchDir {
public:
    // Everything written to today's log file so far (the writer is drained
    // by closing the log first).
    std::string drained_log() const
    {
        CloseLog();
        return support::read_file(path() + "/" + el::getCurrentTimeString());
    }
};

}  // namespace support
