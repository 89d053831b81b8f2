// Masking of card data: by message layout where the library knows it, by
// the Luhn check and the track patterns where it does not; and the dump of a
// masked frame next to the frame itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstring>
#include <memory>

#include "Logging/log.h"
#include "Logging/redact.h"
#include "log_test_util.h"
#include "protocol/card_read.h"
#include "protocol/records.h"
#include "protocol/response_decoder.h"
#include "protocol/status.h"

namespace {

const std::string kFs = "\x1C";

std::string join(const std::vector<std::string>& parts)
{
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? kFs : "") + parts[i];
    return out;
}

std::string stars(size_t n)
{
    return std::string(n, '*');
}

std::string framed(const std::string& message)
{
    std::string f = "\x02" + message + "\x03";
    char lrc = 0;
    for (size_t i = 1; i < f.size(); ++i)
        lrc ^= f[i];
    return f + lrc;
}

// The standard response fields from the response code on, with the card
// fields given (the rest as a terminal sends them).
std::vector<std::string> standard(const std::string& pan, const std::string& expiry_name, bool totals = false,
                                  const std::string& card_text = "JOHN/SMITH")
{
    std::vector<std::string> f = {"00", "01", "1001", "000000001234", "000000000000", pan, expiry_name, card_text,
                                  "000123A1B2C308121530SIMBANK", "SIMMERCHANT0001", "000000051000001",
                                  "700000010001", "VISA", "SIM00001"};
    if (totals)
        f.insert(f.end(), {"000000001234", "1", "0", "1"});
    f.insert(f.end(), {"", "Bank", "RECEIPT 12.34", "LOGO", ""});
    return f;
}

std::vector<std::string> with_header(const std::string& header, std::vector<std::string> fields)
{
    fields.front() = header + fields.front();
    return fields;
}

struct Case {
    const char* name;
    std::string in;
    bool from_terminal;
    std::string out;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

const std::string kPan = "4111111111111111";
const std::string kPanMasked = "411111******1111";
const std::string kExp = "1229JANE/DOE";
const std::string kTrack1 = "B4111111111111111^DOE/JANE^2912101";
const std::string kTrack2 = "4111111111111111=2912101123456789";
const std::string kHash = "A94A8FE5CCB19BA61C4C0873D391E987982FBBD3";

std::vector<Case> Cases()
{
    std::vector<Case> c;
    c.push_back({"PurchaseResponse", join(with_header("PUR12.", standard(kPan, kExp))), true,
                 join(with_header("PUR12.", standard(kPanMasked, stars(kExp.size()), false, stars(10))))});
    c.push_back({"LowerCaseCodeAndAmexLength", join(with_header("pur16.", standard("378282246310005", kExp))), true,
                 join(with_header("pur16.", standard("378282*****0005", stars(kExp.size()), false, stars(10))))});
    c.push_back({"SettlementTotalsMoveTheImages", join(with_header("SLR12.", standard(kPan, kExp, true))), true,
                 join(with_header("SLR12.", standard(kPanMasked, stars(kExp.size()), true, stars(10))))});
    std::vector<std::string> cid = standard(kPan, kExp);
    cid.insert(cid.begin() + 1, {kPan, "RNK1", "PROD"});
    std::vector<std::string> cid_out = standard(kPanMasked, stars(kExp.size()), false, stars(10));
    cid_out.insert(cid_out.begin() + 1, {kPanMasked, "RNK1", "PROD"});
    c.push_back({"CardIdentificationHasTwoCardNumbers", join(with_header("CID12.", cid)), true,
                 join(with_header("CID12.", cid_out))});
    c.push_back({"LoyaltyCardNumber", join({"LRW12.00", "01", "1001", "000000001234", "000123", "7", kPan, "081226"}),
                 true, join({"LRW12.00", "01", "1001", "000000001234", "000123", "7", kPanMasked, "081226"})});
    c.push_back({"GiftCardNumber", join({"LGO12.00", "01", "1001", "000123", "7", kPan, "GIFT1", "2"}), true,
                 join({"LGO12.00", "01", "1001", "000123", "7", kPanMasked, "GIFT1", "2"})});
    std::vector<std::string> stored = standard(kPan, kExp);
    std::vector<std::string> stored_out = standard(kPanMasked, stars(kExp.size()), false, stars(10));
    c.push_back({"StoredTransaction", join(with_header("GTL11.", stored)), true,
                 join(with_header("GTL11.", stored_out))});
    c.push_back({"CardRead", join({"CRD11." + kTrack1, kTrack2, "", kHash}), true,
                 join({"CRD11." + stars(kTrack1.size()), stars(kTrack2.size()), "", kHash})});
    c.push_back({"DiscountCardRead", join({"DSC11.", "7770001234567890=30121", "", kHash}), true,
                 join({"DSC11.", stars(22), "", kHash})});
    c.push_back({"PinRead", "APP11.123456", true, "APP11.******"});
    c.push_back({"PinReadWithoutFullStop", "APP11 1234", true, "APP11 ****"});
    // The common request layout carries the three tracks in fields 6 to 8.
    c.push_back({"RequestTracks",
                 join({"PUR10.01", "1001", "000000001234", "000000000000", "980", "000000", kTrack1, kTrack2, "T3",
                       "000", "00", "", "", "", "0", "", ""}),
                 false,
                 join({"PUR10.01", "1001", "000000001234", "000000000000", "980", "000000", stars(kTrack1.size()),
                       stars(kTrack2.size()), "**", "000", "00", "", "", "", "0", "", ""})});
    // No layout: fail closed, the header, separators and control bytes kept.
    c.push_back({"UnknownCode", "XYZ11.card " + kPan + kFs + "1227JOHN/SMITH\x03\x02", true,
                 "XYZ11." + stars(21) + kFs + stars(14) + "\x03\x02"});
    c.push_back({"MalformedHeader", "PUR1X." + kExp, true, stars(6 + kExp.size())});
    // Free text of a known message: Luhn-valid runs of 13 to 19 digits and track patterns.
    c.push_back({"TextMessageCardNumber", "SMS10.card " + kPan + " rrn 700000010001 acct 4111111111111112", true,
                 "SMS10.card " + kPanMasked + " rrn 700000010001 acct 4111111111111112"});
    c.push_back({"TextMessageWithTracks", "SMS11.;" + kTrack2 + "? %B" + kPan + "^DOE/JANE^2912?\nB" + kPan + "^X^1\n",
                 true, "SMS11." + stars(kTrack2.size() + 2) + " " + stars(33) + "\n" + stars(21) + "\n"});
    c.push_back({"Garbage", std::string("\x15\x15") + "6011000990139424", true, std::string("\x15\x15") + stars(16)});
    // Nothing to mask.
    c.push_back({"CancelRequest", "CNL10." + kFs, false, "CNL10." + kFs});
    c.push_back({"CountAnswer", "GTC11.0015", true, "GTC11.0015"});
    c.push_back({"GroupName", join({"GGP11.SIM GROUP 1", ""}), true, join({"GGP11.SIM GROUP 1", ""})});
    return c;
}

class Redaction : public ::testing::TestWithParam<Case> {};

TEST_P(Redaction, MasksExactlyTheCardFields)
{
    const Case& c = GetParam();
    ASSERT_EQ(c.in.size(), c.out.size()) << "a mask keeps every length";
    std::string bytes = c.in;
    el::redact_message(&bytes[0], bytes.size(), c.from_terminal);
    EXPECT_EQ(bytes, c.out);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Redaction, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(Redaction, CardNumberRule)
{
    EXPECT_TRUE(el::luhn_valid("4111111111111111", 16));
    EXPECT_FALSE(el::luhn_valid("4111111111111112", 16));
    EXPECT_FALSE(el::luhn_valid("000000000000", 12));  // shorter than 13
    EXPECT_EQ(el::masked_pan("4111111111111111111"), "411111*********1111");
    EXPECT_EQ(el::masked_pan("4111********1111"), "4111********1111");
    EXPECT_EQ(el::masked_pan("123456789"), "*****6789");
    EXPECT_EQ(el::masked_pan("1234567"), "*******");
}

// The masked message decodes to the same report as the original but for
// the card fields: the masking and the decoders agree on every layout.
TEST(Redaction, EveryResponseDecodesAlikeButForTheCardFields)
{
    struct Response {
        std::string message;
        bool stored;
    };
    std::vector<Response> responses;
    for (const char* code : {"PUR", "REF", "DSC", "PPD", "STL", "VOD", "RDC", "CTR", "AUH", "AHF", "PCC", "SLR",
                             "SEP", "SRC", "AFC", "PIR", "RFI", "PVD", "OFN", "RFC", "XRP", "CSH", "CRC", "BAL",
                             "ECH", "IFC", "IFN", "PNG", "PST", "ACC", "VID"})
        for (const char* num : {"12.", "14.", "15.", "16."}) {
            const bool totals = std::strcmp(code, "SLR") == 0 || std::strcmp(code, "XRP") == 0;
            responses.push_back({join(with_header(std::string(code) + num, standard(kPan, kExp, totals))), false});
        }
    std::vector<std::string> cid = standard(kPan, kExp);
    cid.insert(cid.begin() + 1, {kPan, "RNK1", "PROD"});
    responses.push_back({join(with_header("CID12.", cid)), false});
    for (const char* code : {"LRW", "LRD", "LWV", "LDV", "LWR", "LDR"})
        responses.push_back({join({std::string(code) + "12.00", "01", "1001", "000000001234", "000123", "7", kPan,
                                   "081226", "000000000100", "000000001334"}),
                             false});
    responses.push_back({join({"LGO12.00", "01", "1001", "000123", "7", kPan, "GIFT1", "2"}), false});
    for (const char* code : {"GTS", "GTL", "GTI"})
        responses.push_back({join(with_header(std::string(code) + "11.", standard(kPan, kExp))), true});

    auto decode = [](std::string m, bool stored, _ecr_transaction_report* r) {
        auto* p = reinterpret_cast<unsigned char*>(&m[0]);
        const auto n = static_cast<unsigned int>(m.size());
        return stored ? ecr_parse_response_NP(p, n, r) : ecr_parse_response(p, n, r);
    };
    for (const Response& resp : responses) {
        std::string masked = resp.message;
        el::redact_message(&masked[0], masked.size(), true);
        auto plain = std::make_unique<_ecr_transaction_report>();
        auto hidden = std::make_unique<_ecr_transaction_report>();
        ASSERT_EQ(decode(resp.message, resp.stored, plain.get()), SE_OK) << resp.message;
        ASSERT_EQ(decode(masked, resp.stored, hidden.get()), SE_OK) << masked;
        EXPECT_STREQ(plain->PAN, kPan.c_str()) << resp.message;
        EXPECT_STREQ(hidden->PAN, kPanMasked.c_str()) << masked;
        EXPECT_EQ(std::string(hidden->ExpiryText).find_first_not_of('*'), std::string::npos);
        EXPECT_EQ(hidden->CardExpireMonth, 0);
        EXPECT_EQ(std::string(hidden->CardText), stars(std::strlen(plain->CardText)));
        // All else byte for byte.
        for (_ecr_transaction_report* r : {plain.get(), hidden.get()}) {
            std::memset(r->PAN, 0, sizeof r->PAN);
            std::memset(r->ExpiryText, 0, sizeof r->ExpiryText);
            std::memset(r->CardText, 0, sizeof r->CardText);
            r->CardExpireMonth = r->CardExpireYear = 0;
        }
        EXPECT_EQ(std::memcmp(plain.get(), hidden.get(), sizeof *plain), 0) << resp.message.substr(0, 6);
    }
}

TEST(Redaction, CardReadsDecodeToStarsOfTheSameLength)
{
    for (const char* code : {"CRD", "ACR", "DCR", "DSC", "GRC"}) {
        std::string masked = join({std::string(code) + "11." + kTrack1, kTrack2, "T3", kHash});
        el::redact_message(&masked[0], masked.size(), true);
        _ecr_mread_report r{};
        ASSERT_EQ(ecr_parse_crd_response(reinterpret_cast<unsigned char*>(&masked[0]),
                                         static_cast<unsigned int>(masked.size()), &r),
                  SE_OK);
        EXPECT_EQ(std::string(r.track1, strnlen(r.track1, 100)), stars(kTrack1.size())) << code;
        EXPECT_EQ(std::string(r.track2, strnlen(r.track2, 100)), stars(kTrack2.size())) << code;
        EXPECT_EQ(std::string(r.track3, strnlen(r.track3, 110)), "**") << code;
        EXPECT_EQ(std::string(r.sha1hash), kHash) << code;
    }
}

// A sent frame and a received message as the log shows them: the listing is
// that of the masked bytes, with the offsets, sizes and check byte of the
// original, and the masked positions exactly those of the card fields.
class MaskedDump : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        logtest::ResetProcessLogger(dir);
        ASSERT_TRUE(ConfigureFile(path));
        el::set_logging(true);
    }
    void TearDown() override
    {
        el::set_logging(false);
        CloseLog();
    }
    // The listing of one dump block (after its header line).
    std::string Listing(const std::string& bytes, const char* label, bool message = false)
    {
        if (message)
            el::dbdump_message(bytes.data(), static_cast<unsigned int>(bytes.size()), label);
        else
            el::dbdump(bytes.data(), static_cast<unsigned int>(bytes.size()), label);
        CloseLog();
        const std::string text = support::read_file(path);
        const std::string size = ", size = " + std::to_string(bytes.size()) + ", function: [" + label + "]\n";
        EXPECT_NE(text.find(size), std::string::npos) << text;
        return text.substr(text.find('\n') + 1);
    }
    logtest::ScratchDir dir;
    std::string path = dir.file("masked.log");
};

TEST_F(MaskedDump, SentFrameKeepsItsLayoutAndCheckByte)
{
    const std::vector<std::string> fields = {"PUR10.01", "1001", "000000001234", "000000000000", "980", "000000",
                                             kTrack1, kTrack2, "", "000", "00", "", "", "", "0", "", ""};
    const std::string frame = framed(join(fields));
    const std::string listing = Listing(frame, "SEND TO TERMINAL");

    std::string masked = frame;
    const size_t t1 = frame.find(kTrack1), t2 = frame.find(kTrack2);
    masked.replace(t1, kTrack1.size(), stars(kTrack1.size()));
    masked.replace(t2, kTrack2.size(), stars(kTrack2.size()));
    EXPECT_EQ(masked.back(), frame.back());  // the check byte as it was sent
    EXPECT_EQ(listing, el::hex_dump(masked.data(), static_cast<unsigned int>(masked.size()), 16));
    for (size_t i = 0; i < frame.size(); ++i) {
        const bool in_track = (i >= t1 && i < t1 + kTrack1.size()) || (i >= t2 && i < t2 + kTrack2.size());
        EXPECT_EQ(masked[i] != frame[i], in_track) << "offset " << i;
    }
}

TEST_F(MaskedDump, ReceivedResponseMasksCardNumberExpiryAndName)
{
    const std::string message = join(with_header("PUR12.", standard(kPan, kExp)));
    const std::string listing = Listing(message, "Received from terminal", true);
    const size_t pan = message.find(kPan), exp = message.find(kExp), name = message.find("JOHN/SMITH");
    std::string masked = message;
    masked.replace(pan + 6, 6, stars(6));
    masked.replace(exp, kExp.size(), stars(kExp.size()));
    masked.replace(name, 10, stars(10));
    EXPECT_EQ(listing, el::hex_dump(masked.data(), static_cast<unsigned int>(masked.size()), 16));
    EXPECT_EQ(listing.find(kPan), std::string::npos);
    EXPECT_EQ(listing.find("JANE"), std::string::npos);
}

// The same response as bytes of unknown layout (a bad check byte, cut
// short, stale): nothing but the header, separators, control bytes and
// check byte survives, and the dump keeps its length.
TEST_F(MaskedDump, UnknownBytesFromTheTerminalFailClosed)
{
    const std::string frame = framed(join(with_header("PUR12.", standard(kPan, kExp)))).substr(0, 40);
    const std::string listing = Listing(frame, "Received from terminal");
    std::string masked = frame;
    for (size_t i = 7; i < masked.size(); ++i)
        if (masked[i] != kFs[0])
            masked[i] = '*';
    EXPECT_EQ(listing, el::hex_dump(masked.data(), static_cast<unsigned int>(masked.size()), 16));
}

}  // namespace
