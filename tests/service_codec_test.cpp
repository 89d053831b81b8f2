// Builders and decoders of the service exchanges, without a terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/audit.h"
#include "protocol/card_group.h"
#include "protocol/discount.h"
#include "protocol/pos_handle.h"
#include "protocol/stored_transactions.h"
#include "protocol/terminal_info.h"
#include "support/sim_link.h"

using support::kFS;

namespace {

struct Request {
    std::vector<unsigned char> buf = std::vector<unsigned char>(POS_MAX_MESSAGE, 0xAA);
    unsigned int len = 0;
    std::string text() const { return std::string(buf.begin(), buf.begin() + len); }
    // Everything after the message is zero: the builder cleared the buffer.
    bool tail_zero() const
    {
        for (unsigned int i = len; i < POS_MAX_MESSAGE; ++i)
            if (buf[i] != 0)
                return false;
        return true;
    }
};

// The response copied into a buffer of exactly its size, so that a read past
// the length given is caught by the address sanitizer.
struct Exact {
    std::vector<unsigned char> bytes;
    explicit Exact(const std::string& s) : bytes(s.begin(), s.end()) {}
    unsigned char* data() { return bytes.data(); }
    unsigned int size() const { return static_cast<unsigned int>(bytes.size()); }
};

}  // namespace

// ---------------------------------------------------------------- discount

TEST(DiscountCodec, FixedRequests)
{
    Request r;
    ASSERT_EQ(ecr_build_discount_card_request(r.buf.data(), &r.len), SE_OK);
    EXPECT_EQ(r.text(), "DSC10." + kFS);
    EXPECT_TRUE(r.tail_zero());
    ASSERT_EQ(ecr_build_discount_canc_request(r.buf.data(), &r.len), SE_OK);
    EXPECT_EQ(r.text(), "DSC12." + kFS);
    ASSERT_EQ(ecr_build_discount_ex_card_request(r.buf.data(), &r.len), SE_OK);
    EXPECT_EQ(r.text(), "DIN10." + kFS);
    EXPECT_EQ(ecr_build_discount_card_request(nullptr, &r.len), SE_PARAM);
    EXPECT_EQ(ecr_build_discount_ex_card_request(r.buf.data(), nullptr), SE_PARAM);
}

TEST(DiscountCodec, AccountRequestModes)
{
    Request r;
    char account[] = "12345678901234567890";  // 20 characters: 15 are sent
    ASSERT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, account, 'S'), SE_OK);
    EXPECT_EQ(r.len, 24u);
    EXPECT_EQ(r.text(), "DSC10.123456789012345" + kFS + "S" + kFS);
    EXPECT_TRUE(r.tail_zero());

    char short_id[] = "77";
    ASSERT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, short_id, 'C'), SE_OK);
    EXPECT_EQ(r.text(), "DSC10.77" + kFS + "C" + kFS);
    ASSERT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, short_id, 'R'), SE_OK);
    EXPECT_EQ(r.text(), "GRC10.77" + kFS);
    ASSERT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, short_id, 'x'), SE_OK);
    EXPECT_EQ(r.text(), "DSC10.77" + kFS);
}

TEST(DiscountCodec, AccountControlAndHighBytesTravelAsQuestionMarks)
{
    Request r;
    char account[] = {'A', '\t', 'B', static_cast<char>(0x80), static_cast<char>(0xFF), 0x1F, ' ', 'C', 0};
    ASSERT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, account, 'S'), SE_OK);
    EXPECT_EQ(r.text(), "DSC10.A?B??? C" + kFS + "S" + kFS);
}

TEST(DiscountCodec, AccountIdentifierIsReadNoFurtherThanSent)
{
    // Fifteen characters and no terminator: reading on would leave the array.
    std::vector<char> exact(15, '9');
    Request r;
    ASSERT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, exact.data(), 'C'), SE_OK);
    EXPECT_EQ(r.text(), "DSC10.999999999999999" + kFS + "C" + kFS);
    EXPECT_EQ(ecr_build_discount_card_request_accid(r.buf.data(), &r.len, nullptr, 'S'), SE_PARAM);
}

TEST(DiscountCodec, DiscountFieldSplitsIntoMerchantNameAndRate)
{
    Exact m("DIN11.05Coffee Shop1550");
    _ecr_discount_info info;
    std::memset(&info, 0x55, sizeof(info));
    ASSERT_EQ(ecr_parse_disc_response(m.data(), m.size(), &info), SE_OK);
    EXPECT_EQ(info.operation, 4);
    EXPECT_EQ(std::string(info.message_code, 3), "DIN");
    EXPECT_EQ(info.merchant_id, 5);
    EXPECT_STREQ(info.merchant_name, "Coffee Shop");
    EXPECT_DOUBLE_EQ(info.rate, 15.0);  // the remainder of 1550 / 100 is dropped
    EXPECT_STREQ(info.info, "05Coffee Shop1550");
}

TEST(DiscountCodec, DiscountFieldLimits)
{
    _ecr_discount_info info{};
    Exact six("din11.05X155" + kFS);
    EXPECT_EQ(ecr_parse_disc_response(six.data(), six.size(), &info), SE_NOCARD);
    Exact seven("DIN11.05X1550" + kFS + "more");
    ASSERT_EQ(ecr_parse_disc_response(seven.data(), seven.size(), &info), SE_OK);
    EXPECT_STREQ(info.merchant_name, "X");
    EXPECT_STREQ(info.info, "05X1550");
    Exact longest("DIN11.12" + std::string(21, 'N') + "0999");
    ASSERT_EQ(ecr_parse_disc_response(longest.data(), longest.size(), &info), SE_OK);
    EXPECT_EQ(std::string(info.merchant_name), std::string(21, 'N'));
    EXPECT_DOUBLE_EQ(info.rate, 9.0);
    Exact too_long("DIN11.12" + std::string(22, 'N') + "0999");
    EXPECT_EQ(ecr_parse_disc_response(too_long.data(), too_long.size(), &info), SE_SIZE);
    Exact huge("DIN11." + std::string(300, '1'));
    EXPECT_EQ(ecr_parse_disc_response(huge.data(), huge.size(), &info), SE_SIZE);
    Exact none("DIN11.");
    EXPECT_EQ(ecr_parse_disc_response(none.data(), none.size(), &info), SE_SYNTAX);  // under 8 bytes
    Exact other("DSC11.05Coffee1550");
    EXPECT_EQ(ecr_parse_disc_response(other.data(), other.size(), &info), SE_SYNTAX);
    Exact number("DIN12.05Coffee1550");
    EXPECT_EQ(ecr_parse_disc_response(number.data(), number.size(), &info), SE_SYNTAX);
    EXPECT_EQ(ecr_parse_disc_response(nullptr, 10, &info), SE_PARAM);
    EXPECT_EQ(ecr_parse_disc_response(number.data(), number.size(), nullptr), SE_PARAM);
}

// ---------------------------------------------------------------- card group

TEST(CardGroupCodec, Requests)
{
    Request r;
    ASSERT_EQ(ecr_build_get_group(r.buf.data(), &r.len, "GGP"), SE_OK);
    EXPECT_EQ(r.text(), "GGP10." + kFS);
    EXPECT_TRUE(r.tail_zero());
    ASSERT_EQ(ecr_build_cancel_get_group_completion(r.buf.data(), &r.len), SE_OK);
    EXPECT_EQ(r.text(), "CNL10." + kFS);
    EXPECT_EQ(ecr_build_get_group(r.buf.data(), &r.len, nullptr), SE_PARAM);
    EXPECT_EQ(ecr_build_cancel_get_group_completion(nullptr, &r.len), SE_PARAM);
}

TEST(CardGroupCodec, GroupNameWidths)
{
    _ecr_mread_report rep;
    const std::string name64(64, 'G');
    Exact full("GGP11." + name64);
    std::memset(&rep, 0x33, sizeof(rep));
    ASSERT_EQ(ecr_parse_getgroup_response(full.data(), full.size(), &rep), SE_OK);
    EXPECT_EQ(std::string(rep.nameGroup, 64), name64);
    EXPECT_EQ(rep.sha1hash[0], 0);  // no terminator needed: the next field is zero
    EXPECT_EQ(rep.operation, 0);

    Exact over("grc11." + std::string(65, 'G') + kFS);
    ASSERT_EQ(ecr_parse_getgroup_response(over.data(), over.size(), &rep), SE_SIZE);
    EXPECT_EQ(rep.nameGroup[0], 0);

    Exact first("GRC11.Gold" + kFS + "Silver" + kFS + "Bronze");
    ASSERT_EQ(ecr_parse_getgroup_response(first.data(), first.size(), &rep), SE_OK);
    EXPECT_STREQ(rep.nameGroup, "Gold");

    Exact wrong("CNL11.Gold");
    EXPECT_EQ(ecr_parse_getgroup_response(wrong.data(), wrong.size(), &rep), SE_SYNTAX);
    Exact huge("GGP11." + std::string(400, 'x'));
    EXPECT_EQ(ecr_parse_getgroup_response(huge.data(), huge.size(), &rep), SE_SIZE);
}

// ---------------------------------------------------------------- terminal information

TEST(TerminalInfoCodec, RequestsByKind)
{
    Request r;
    ASSERT_EQ(ecr_build_get_name_software(r.buf.data(), &r.len, GIT_NAME_SOFTWARE), SE_OK);
    EXPECT_EQ(r.text(), "GNS10." + kFS);
    ASSERT_EQ(ecr_build_get_name_software(r.buf.data(), &r.len, GIT_INF), SE_OK);
    EXPECT_EQ(r.text(), "INF10." + kFS);
    ASSERT_EQ(ecr_build_get_name_software(r.buf.data(), &r.len, GIT_INM), SE_OK);
    EXPECT_EQ(r.text(), "INM10." + kFS);
    ASSERT_EQ(ecr_build_get_name_software(r.buf.data(), &r.len, static_cast<tagGetInfoType>(7)), SE_OK);
    EXPECT_EQ(r.text(), "GNS10." + kFS);
    ASSERT_EQ(ecr_build_get_serial_number(r.buf.data(), &r.len), SE_OK);
    EXPECT_EQ(r.text(), "TSN10." + kFS);
    EXPECT_TRUE(r.tail_zero());
}

TEST(TerminalInfoCodec, TextFieldCopies)
{
    char text[256];
    std::memset(text, 'z', sizeof(text));
    Exact tsn("TSN11.SN0042" + kFS + "extra" + kFS);
    ASSERT_EQ(ecr_parse_TSN_response(tsn.data(), tsn.size(), text), SE_OK);
    EXPECT_STREQ(text, "SN0042");

    std::memset(text, 'z', sizeof(text));
    Exact empty("GNS11.");
    EXPECT_EQ(ecr_parse_getNameSoftware_response(empty.data(), empty.size(), text), SE_SYNTAX);
    Exact bare("GNS11." + kFS + "x");  // an empty first field is copied as empty text
    ASSERT_EQ(ecr_parse_getNameSoftware_response(bare.data(), bare.size(), text), SE_OK);
    EXPECT_EQ(text[0], 0);

    Exact inm("inm11.Model X");
    ASSERT_EQ(ecr_parse_getNameSoftware_response(inm.data(), inm.size(), text), SE_OK);
    EXPECT_STREQ(text, "Model X");
    EXPECT_EQ(ecr_parse_TSN_response(inm.data(), inm.size(), text), SE_SYNTAX);
    Exact gns_as_tsn("TSN11.abc");
    EXPECT_EQ(ecr_parse_getNameSoftware_response(gns_as_tsn.data(), gns_as_tsn.size(), text), SE_SYNTAX);
    EXPECT_EQ(ecr_parse_TSN_response(tsn.data(), tsn.size(), nullptr), SE_PARAM);
}

TEST(TerminalInfoCodec, CopyStaysWithin256Bytes)
{
    // The caller's buffer holds 256 bytes; a 256-character field is cut to 255
    // characters and its terminator.
    std::vector<char> text(256, 'z');
    Exact m("GNS11." + std::string(256, 'a'));
    ASSERT_EQ(ecr_parse_getNameSoftware_response(m.data(), m.size(), text.data()), SE_OK);
    EXPECT_EQ(std::string(text.data()), std::string(255, 'a'));
    Exact longer("GNS11." + std::string(257, 'a') + kFS);
    std::vector<char> untouched(256, 'z');
    EXPECT_EQ(ecr_parse_getNameSoftware_response(longer.data(), longer.size(), untouched.data()), SE_SIZE);
    EXPECT_EQ(untouched[0], 'z');
}

// ---------------------------------------------------------------- stored transactions

TEST(StoredTransactionCodec, Requests)
{
    Request r;
    ASSERT_EQ(ecr_build_get_count_transaction(r.buf.data(), &r.len, 3), SE_OK);
    EXPECT_EQ(r.text(), "GTC10.03");
    ASSERT_EQ(ecr_build_transaction_data_by_sequence_number(r.buf.data(), &r.len, 7, 42), SE_OK);
    EXPECT_EQ(r.len, 13u);
    EXPECT_EQ(r.text(), "GTS10.07" + kFS + "0042");
    ASSERT_EQ(ecr_build_last_transaction_data(r.buf.data(), &r.len, 12), SE_OK);
    EXPECT_EQ(r.text(), "GTL10.12");
    ASSERT_EQ(ecr_build_transaction_data_by_invoice(r.buf.data(), &r.len, 1, 123), SE_OK);
    EXPECT_EQ(r.len, 15u);
    EXPECT_EQ(r.text(), "GTI10.000123" + kFS + "01");
    ASSERT_EQ(ecr_build_get_sammery_transaction_data(r.buf.data(), &r.len, 0), SE_OK);
    EXPECT_EQ(r.text(), "GSI10.00");
    EXPECT_TRUE(r.tail_zero());
}

TEST(StoredTransactionCodec, LongNumbersSendTheirFirstDigits)
{
    Request r;
    ASSERT_EQ(ecr_build_transaction_data_by_sequence_number(r.buf.data(), &r.len, 150, 12345), SE_OK);
    EXPECT_EQ(r.text(), "GTS10.15" + kFS + "1234");
    ASSERT_EQ(ecr_build_transaction_data_by_invoice(r.buf.data(), &r.len, 5, 1234567), SE_OK);
    EXPECT_EQ(r.text(), "GTI10.123456" + kFS + "05");
    EXPECT_EQ(ecr_build_get_count_transaction(nullptr, &r.len, 1), SE_PARAM);
    EXPECT_EQ(ecr_build_transaction_data_by_invoice(r.buf.data(), nullptr, 1, 1), SE_PARAM);
}

TEST(StoredTransactionCodec, CountField)
{
    uint32_t count = 99;
    Exact m("GTC11.0015");
    ASSERT_EQ(ecr_parse_get_count_transaction_response(m.data(), m.size(), &count), SE_OK);
    EXPECT_EQ(count, 15u);
    count = 99;
    Exact none("gtc11." + kFS + "x");  // empty first field: digits none -> 0
    ASSERT_EQ(ecr_parse_get_count_transaction_response(none.data(), none.size(), &count), SE_OK);
    EXPECT_EQ(count, 0u);
    Exact wrong("GSI11.0015");
    EXPECT_EQ(ecr_parse_get_count_transaction_response(wrong.data(), wrong.size(), &count), SE_SYNTAX);
    EXPECT_EQ(ecr_parse_get_count_transaction_response(m.data(), 7, &count), SE_SYNTAX);
}

TEST(StoredTransactionCodec, SummaryPairs)
{
    _ecr_gsi_report s{};
    Exact m("GSI11.3" + kFS + "955" + kFS + "1" + kFS + "20");
    ASSERT_EQ(ecr_parse_get_sammery_transaction_response(m.data(), m.size(), &s), SE_OK);
    EXPECT_EQ(s.count1, 3u);
    EXPECT_DOUBLE_EQ(s.amount1, 9.55);
    EXPECT_EQ(s.count2, 1u);
    EXPECT_DOUBLE_EQ(s.amount2, 0.20);
    EXPECT_EQ(s.count3, 0u);
    EXPECT_DOUBLE_EQ(s.amount3, 0.0);

    // The decoder does not clear: a missing field keeps what was there.
    s.count3 = 8;
    Exact six("GSI11.1" + kFS + "100" + kFS + "2" + kFS + "200" + kFS + "3" + kFS + "300");
    ASSERT_EQ(ecr_parse_get_sammery_transaction_response(six.data(), six.size(), &s), SE_OK);
    EXPECT_EQ(s.count3, 3u);
    EXPECT_DOUBLE_EQ(s.amount3, 3.0);
    Exact other("GTC11.3" + kFS + "955");
    EXPECT_EQ(ecr_parse_get_sammery_transaction_response(other.data(), other.size(), &s), SE_SYNTAX);
}

// A number field that fills the whole 256-byte scratch area has no terminator
// there; its conversion must still stop at the end of the field.
TEST(StoredTransactionCodec, NumbersFillingTheScratchAreaEndThere)
{
    uint32_t count = 99;
    Exact full("GTC11." + std::string(255, ' ') + "4");
    ASSERT_EQ(ecr_parse_get_count_transaction_response(full.data(), full.size(), &count), SE_OK);
    EXPECT_EQ(count, 4u);
    Exact too_long("GTC11." + std::string(256, ' ') + "4");
    EXPECT_EQ(ecr_parse_get_count_transaction_response(too_long.data(), too_long.size(), &count), SE_SIZE);
    EXPECT_EQ(count, 4u);

    _ecr_gsi_report s{};
    Exact pair("GSI11." + std::string(255, ' ') + "7" + kFS + std::string(252, ' ') + "1250");
    ASSERT_EQ(ecr_parse_get_sammery_transaction_response(pair.data(), pair.size(), &s), SE_OK);
    EXPECT_EQ(s.count1, 7u);
    EXPECT_DOUBLE_EQ(s.amount1, 12.5);
    EXPECT_EQ(s.count2, 0u);
}

// ---------------------------------------------------------------- audit and X report

TEST(AuditCodec, SelectionText)
{
    Request r;
    char sel[] = "01";
    ASSERT_EQ(ecr_build_audit_request(r.buf.data(), &r.len, sel), SE_OK);
    EXPECT_EQ(r.len, 9u);
    EXPECT_EQ(r.text(), "AUD10.01" + kFS);
    EXPECT_TRUE(r.tail_zero());
    char fifteen[] = "ABCDEFGHIJKLMN\t";
    ASSERT_EQ(ecr_build_audit_request(r.buf.data(), &r.len, fifteen), SE_OK);
    EXPECT_EQ(r.text(), "AUD10.ABCDEFGHIJKLMN?" + kFS);
    char sixteen[] = "ABCDEFGHIJKLMNOP";
    EXPECT_EQ(ecr_build_audit_request(r.buf.data(), &r.len, sixteen), SE_PARAM);
    char empty[] = "";
    EXPECT_EQ(ecr_build_audit_request(r.buf.data(), &r.len, empty), SE_PARAM);
    EXPECT_EQ(ecr_build_audit_request(r.buf.data(), &r.len, nullptr), SE_PARAM);
}

namespace {
// 84-byte audit record: header, status, number, last number, items.
std::string audit_record(const std::string& head, char status, const std::string& number, const std::string& last)
{
    std::string m = head + status + number + last;
    m += "ITEM01";                  // item1 6
    m += "TWENTY-CHARACTERS-XX";    // item2 20
    m += "ITEM03";                  // item3 6
    m += "000000001234";            // item4 12
    m += "000000005678";            // item5 12
    m += "A";                       // item6 1
    m += "BC";                      // item7 2
    m += "DEFG";                    // item8 4
    m += "HIJKLM";                  // item9 6
    return m;
}
}  // namespace

TEST(AuditCodec, RecordFields)
{
    Exact m(audit_record("AUD11.", '0', "0001", "0003"));
    ASSERT_EQ(m.size(), 84u);
    _ecr_audit_report rec;
    std::memset(&rec, 0x77, sizeof(rec));
    ASSERT_EQ(ecr_parse_audit_response(m.data(), m.size(), &rec), SE_OK);
    EXPECT_EQ(rec.more[0], 0);
    EXPECT_EQ(std::string(rec.record_number, 4), "0001");
    EXPECT_EQ(std::string(rec.record_count, 4), "0003");
    EXPECT_EQ(std::string(rec.item1, 6), "ITEM01");
    EXPECT_EQ(std::string(rec.item2, 20), "TWENTY-CHARACTERS-XX");
    EXPECT_EQ(std::string(rec.item3, 6), "ITEM03");
    EXPECT_EQ(std::string(rec.item4, 12), "000000001234");
    EXPECT_EQ(std::string(rec.item5, 12), "000000005678");
    EXPECT_EQ(std::string(rec.item6, 1), "A");
    EXPECT_EQ(std::string(rec.item7, 2), "BC");
    EXPECT_EQ(std::string(rec.item8, 4), "DEFG");
    EXPECT_EQ(std::string(rec.item9, 6), "HIJKLM");
}

TEST(AuditCodec, RefusedAndShortRecords)
{
    _ecr_audit_report rec;
    const _ecr_audit_report zero{};
    Exact twelve(audit_record("AUD12.", '0', "0001", "0001"));
    std::memset(&rec, 0x77, sizeof(rec));
    EXPECT_EQ(ecr_parse_audit_response(twelve.data(), twelve.size(), &rec), SE_SYNTAX);
    EXPECT_EQ(std::memcmp(&rec, &zero, sizeof(rec)), 0);
    Exact status2(audit_record("AUD11.", '2', "0001", "0001"));
    EXPECT_EQ(ecr_parse_audit_response(status2.data(), status2.size(), &rec), SE_SYNTAX);
    // A short packet fills only the bytes it carries.
    Exact shortm("AUD11.10007");
    ASSERT_EQ(ecr_parse_audit_response(shortm.data(), shortm.size(), &rec), SE_OK);
    EXPECT_EQ(std::string(rec.record_number, 4), "0007");
    EXPECT_EQ(rec.record_count[0], 0);
    EXPECT_EQ(ecr_parse_audit_response(shortm.data(), 7, &rec), SE_SYNTAX);
}

TEST(XReportCodec, RequestAndAnswer)
{
    Request r;
    ASSERT_EQ(pos_x_report_print_request(r.buf.data(), &r.len), SE_OK);
    EXPECT_EQ(r.text(), "NDX10.");
    EXPECT_TRUE(r.tail_zero());
    Exact ok("ndx11.00");
    EXPECT_EQ(pos_x_report_print_responce(ok.data(), ok.size()), SE_OK);
    Exact twelve("NDX12.00");
    EXPECT_EQ(pos_x_report_print_responce(twelve.data(), twelve.size()), SE_SYNTAX);
    EXPECT_EQ(pos_x_report_print_responce(ok.data(), 7), SE_SYNTAX);
    EXPECT_EQ(pos_x_report_print_responce(nullptr, 8), SE_PARAM);
}
