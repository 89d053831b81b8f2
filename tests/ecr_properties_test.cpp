// Properties of the ECR object: defaults, validation through the members and
// the exported accessors, the request record filled from them and the
// service-parameter list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "VarkoClass2017/VarkoClass2017.h"

namespace {

class EcrProperties : public ::testing::Test {
protected:
    void SetUp() override
    {
        destroy_object(create_object());  // a fresh instance for every case
        ecr = create_object();
        ASSERT_NE(ecr, nullptr);
    }
    void TearDown() override { destroy_object(ecr); }

    CVarkoClass2017* ecr = nullptr;
};

TEST_F(EcrProperties, FreshInstanceDefaults)
{
    unsigned char u8 = 0xEE;
    ASSERT_EQ(ecr->get_ECRNumber(&u8), 0);
    EXPECT_EQ(u8, 1);
    unsigned short u16 = 0;
    ASSERT_EQ(get_CurrencyCode(&u16), 0);
    EXPECT_EQ(u16, 980);
    ASSERT_EQ(get_MerchantID(&u8), 0);
    EXPECT_EQ(u8, 0);
    short s = 7;
    ASSERT_EQ(get_TransportType(&s), 0);
    EXPECT_EQ(s, ECR_TRANSPORT_SERIAL);
    ASSERT_EQ(get_PosPort(&u16), 0);
    EXPECT_EQ(u16, 2000);
    ASSERT_EQ(get_EcrLoging(&s), 0);
    EXPECT_EQ(s, 1);
    // "EMPTY" is exactly six bytes: the seventh byte stays as it was.
    char ip[16];
    std::memset(ip, 'x', sizeof(ip));
    ASSERT_EQ(get_PosIP(ip), 0);
    EXPECT_EQ(std::string(ip, 6), std::string("EMPTY", 6));
    EXPECT_EQ(ip[6], 'x');
    char version[16];
    std::memset(version, 'x', sizeof(version));
    ASSERT_EQ(get_DLLVersion(version), 0);
    EXPECT_STREQ(version, "1.0.1.0");
    EXPECT_EQ(version[8], 'x');
    char text[8] = "zz";
    ASSERT_EQ(get_ServiceNumber(text), 0);
    EXPECT_STREQ(text, "");
    ASSERT_EQ(get_ECRIP(text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(ecr->GetPosHandle(), nullptr);
}

TEST_F(EcrProperties, NumericRanges)
{
    unsigned short cc = 0;
    EXPECT_EQ(put_CurrencyCode(999), 0);
    get_CurrencyCode(&cc);
    EXPECT_EQ(cc, 999);
    EXPECT_EQ(put_CurrencyCode(1000), 0);
    get_CurrencyCode(&cc);
    EXPECT_EQ(cc, 980);
    EXPECT_EQ(put_CurrencyCode(0), 0);
    get_CurrencyCode(&cc);
    EXPECT_EQ(cc, 0);

    unsigned char mid = 0;
    EXPECT_EQ(put_MerchantID(7), 0);
    EXPECT_EQ(put_MerchantID(100), E_INVALIDARG);
    get_MerchantID(&mid);
    EXPECT_EQ(mid, 7);
    EXPECT_EQ(put_MerchantID(99), 0);
    get_MerchantID(&mid);
    EXPECT_EQ(mid, 99);

    unsigned long long v = 0;
    EXPECT_EQ(put_RRN(999999999999ULL), 0);
    EXPECT_EQ(put_RRN(1000000000000ULL), E_INVALIDARG);
    get_RRN(&v);
    EXPECT_EQ(v, 999999999999ULL);
    EXPECT_EQ(put_ECRReceiptNumber(9999999999ULL), 0);
    EXPECT_EQ(put_ECRReceiptNumber(10000000000ULL), E_INVALIDARG);
    get_ECRReceiptNumber(&v);
    EXPECT_EQ(v, 9999999999ULL);

    EXPECT_EQ(ecr->put_NominalNumber(9), 0);
    EXPECT_EQ(ecr->put_NominalNumber(10), E_INVALIDARG);
    ecr->get_NominalNumber(&mid);
    EXPECT_EQ(mid, 9);

    EXPECT_EQ(ecr->put_ECRNumber(250), 0);  // no range test
    ecr->get_ECRNumber(&mid);
    EXPECT_EQ(mid, 250);
}

TEST_F(EcrProperties, MerchantSymbol)
{
    unsigned char sym = 0;
    for (unsigned char ok : {'0', '9', 'A', 'Z'}) {
        EXPECT_EQ(ecr->put_MerchantID5Symbol(ok), 0) << ok;
        ecr->get_MerchantID5Symbol(&sym);
        EXPECT_EQ(sym, ok);
    }
    for (unsigned char bad : {'a', '/', ':', '@', '[', 'z', '\xC0'}) {
        EXPECT_EQ(ecr->put_MerchantID5Symbol(bad), E_INVALIDARG) << int(bad);
        ecr->get_MerchantID5Symbol(&sym);
        EXPECT_EQ(sym, 'Z');
    }
    EXPECT_EQ(ecr->put_MerchantID5Symbol(0), 0);
    ecr->get_MerchantID5Symbol(&sym);
    EXPECT_EQ(sym, 0);
}

TEST_F(EcrProperties, FlagsAndEntryModeExport)
{
    short s = 5;
    EXPECT_EQ(ecr->put_PINRequest(1), 0);
    ecr->get_PINRequest(&s);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(ecr->put_PINRequest(-1), 0);
    ecr->get_PINRequest(&s);
    EXPECT_EQ(s, -1);

    EXPECT_EQ(put_EntryMode(1), 0);
    EXPECT_TRUE(ecr->m_EntryMode);
    ASSERT_EQ(get_EntryMode(&s), 0);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(put_EntryMode(0), 0);
    get_EntryMode(&s);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(put_EntryMode(255), 0);
    get_EntryMode(&s);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(ecr->put_EntryMode(1), 0);  // the member takes only -1 as on
    EXPECT_FALSE(ecr->m_EntryMode);
}

TEST_F(EcrProperties, TransportTypeAndPorts)
{
    short t = 0;
    EXPECT_EQ(put_TransportType(1), 0);
    EXPECT_EQ(put_TransportType(3), 1);
    get_TransportType(&t);
    EXPECT_EQ(t, ECR_TRANSPORT_UDP);
    EXPECT_EQ(put_TransportType(-5), 0);
    get_TransportType(&t);
    EXPECT_EQ(t, ECR_TRANSPORT_TCP);
    EXPECT_EQ(put_TransportType(0), 0);
    get_TransportType(&t);
    EXPECT_EQ(t, ECR_TRANSPORT_SERIAL);

    unsigned short port = 0;
    EXPECT_EQ(put_PosPort(2500), 0);
    get_PosPort(&port);
    EXPECT_EQ(port, 2500);
    EXPECT_EQ(put_PosPort(0), 0);
    get_PosPort(&port);
    EXPECT_EQ(port, 2000);

    EXPECT_EQ(put_ECRPort(3000), 0);
    unsigned short untouched = 4321;
    EXPECT_EQ(get_ECRPort(&untouched), 0);
    EXPECT_EQ(untouched, 4321);
}

TEST_F(EcrProperties, TextProperties)
{
    char buf[300];
    EXPECT_EQ(put_ServiceNumber(const_cast<char*>("123")), 0);
    EXPECT_EQ(put_ServiceNumber(const_cast<char*>("1234")), E_INVALIDARG);
    ASSERT_EQ(get_ServiceNumber(buf), 0);
    EXPECT_STREQ(buf, "123");
    EXPECT_EQ(put_ServiceNumber(const_cast<char*>("12")), 0);
    get_ServiceNumber(buf);
    EXPECT_STREQ(buf, "12");

    EXPECT_EQ(put_PosIP(const_cast<char*>("192.168.100.200")), 0);
    get_PosIP(buf);
    EXPECT_STREQ(buf, "192.168.100.200");
    EXPECT_EQ(put_PosIP(const_cast<char*>("1192.168.100.200")), E_INVALIDARG);
    get_PosIP(buf);
    EXPECT_STREQ(buf, "192.168.100.200");
    EXPECT_EQ(put_ECRIP(const_cast<char*>("127.0.0.1")), 0);
    get_ECRIP(buf);
    EXPECT_STREQ(buf, "127.0.0.1");

    EXPECT_EQ(put_UnixTTY(const_cast<char*>("/dev/pts/7")), 0);
    get_UnixTTY(buf);
    EXPECT_STREQ(buf, "/dev/pts/7");
    std::string longPath(256, 'p');
    EXPECT_EQ(put_UnixTTY(longPath.data()), E_INVALIDARG);
    get_UnixTTY(buf);
    EXPECT_STREQ(buf, "/dev/pts/7");

    // The setter copies: the caller's text may change afterwards.
    std::string host(600, 'h');
    EXPECT_EQ(ecr->put_HostText(host.data()), 0);
    host[0] = 'X';
    char* stored = nullptr;
    ASSERT_EQ(ecr->get_HostText(&stored), 0);
    EXPECT_EQ(std::string(stored), std::string(600, 'h'));
    std::string tooLong(601, 'h');
    EXPECT_EQ(ecr->put_HostText(tooLong.data()), E_INVALIDARG);
    ecr->get_HostText(&stored);
    EXPECT_EQ(std::strlen(stored), 600u);
}

TEST_F(EcrProperties, NullPointers)
{
    // Exports: -1 for every pointer they check.
    EXPECT_EQ(get_MerchantID(nullptr), -1);
    EXPECT_EQ(get_RRN(nullptr), -1);
    EXPECT_EQ(get_ServiceNumber(nullptr), -1);
    EXPECT_EQ(put_ServiceNumber(nullptr), -1);
    EXPECT_EQ(get_ECRReceiptNumber(nullptr), -1);
    EXPECT_EQ(get_EntryMode(nullptr), -1);
    EXPECT_EQ(get_PosIP(nullptr), -1);
    EXPECT_EQ(put_PosIP(nullptr), -1);
    EXPECT_EQ(get_PosPort(nullptr), -1);
    EXPECT_EQ(get_TransportType(nullptr), -1);
    EXPECT_EQ(get_ECRIP(nullptr), -1);
    EXPECT_EQ(put_ECRIP(nullptr), -1);
    EXPECT_EQ(get_ECRPort(nullptr), -1);
    EXPECT_EQ(get_CurrencyCode(nullptr), -1);
    EXPECT_EQ(get_UnixTTY(nullptr), -1);
    EXPECT_EQ(put_UnixTTY(nullptr), -1);
    EXPECT_EQ(get_DLLVersion(nullptr), -1);
    EXPECT_EQ(get_EcrLoging(nullptr), -1);

    // Members: 1, except the three getters that answer 0.
    EXPECT_EQ(ecr->get_ECRNumber(nullptr), 1);
    EXPECT_EQ(ecr->get_ServiceNumber(nullptr), 1);
    EXPECT_EQ(ecr->get_HostText(nullptr), 1);
    EXPECT_EQ(ecr->put_HostText(nullptr), 1);
    EXPECT_EQ(ecr->put_PosIP(nullptr), 1);
    EXPECT_EQ(ecr->put_UnixTTY(nullptr), 1);
    EXPECT_EQ(ecr->get_DLLVersion(nullptr), 1);
    EXPECT_EQ(ecr->get_PosIP(nullptr), 0);
    EXPECT_EQ(ecr->get_PosPort(nullptr), 0);
    EXPECT_EQ(ecr->get_TransportType(nullptr), 0);
    EXPECT_EQ(ecr->get_ECRPort(nullptr), 0);
}

TEST_F(EcrProperties, ApplyPropertiesFillsTheRequest)
{
    put_CurrencyCode(840);
    put_MerchantID(42);
    put_ServiceNumber(const_cast<char*>("123"));
    ecr->put_ECRNumber(12);
    put_ECRReceiptNumber(9999999999ULL);
    ecr->m_AuthCode = "ABCDEFGH";
    ecr->m_HostText = std::string(700, 'H');  // longer than the field takes
    ecr->m_PrintText = "print me";
    put_RRN(5);
    ecr->put_PINRequest(-1);
    put_EntryMode(1);
    ecr->put_MerchantID5Symbol('K');
    ecr->put_NominalNumber(3);

    ecr->ApplyProperties();
    const _init_transaction_request& p = *ecr->GetParam();
    EXPECT_EQ(p.currency_code, 840);
    EXPECT_EQ(p.merchant_id, 42);
    EXPECT_EQ(std::memcmp(p.service_number, "123", 3), 0);
    EXPECT_EQ(p.ecr_num, 12);
    EXPECT_EQ(p.ecr_receipt_num, 9999999999ULL);
    EXPECT_EQ(std::memcmp(p.auth_code, "ABCDEF", 6), 0);
    EXPECT_EQ(std::memcmp(p.rrn, "000000000005", 12), 0);
    EXPECT_EQ(std::string(p.host_text), std::string(600, 'H'));
    EXPECT_STREQ(p.print_text, "print me");
    EXPECT_TRUE(p.pin_request);
    EXPECT_TRUE(p.entry_mode);
    EXPECT_EQ(p.merchant_id5_symbol, 'K');
    EXPECT_EQ(p.nominal_number, 3);
    EXPECT_EQ(p.trx_type, 0);  // set by the operation, not here
    EXPECT_EQ(p.loyalty_ref[0], 0);
}

TEST_F(EcrProperties, ApplyPropertiesRRNAndServiceNumberEdges)
{
    put_RRN(999999999999ULL);
    ecr->ApplyProperties();
    EXPECT_EQ(std::memcmp(ecr->GetParam()->rrn, "999999999999", 12), 0);
    EXPECT_EQ(ecr->GetParam()->auth_code[0], 0);  // the twelve digits stop at the field

    std::memset(ecr->GetParam(), 0, sizeof(_init_transaction_request));
    put_RRN(0);
    put_ServiceNumber(const_cast<char*>("12"));
    ecr->ApplyProperties();
    const char zeros[12] = {};
    EXPECT_EQ(std::memcmp(ecr->GetParam()->rrn, zeros, 12), 0);
    EXPECT_EQ(std::memcmp(ecr->GetParam()->service_number, zeros, 3), 0);
    EXPECT_EQ(ecr->GetParam()->host_text[0], 0);
    EXPECT_EQ(ecr->GetParam()->auth_code[0], 0);
}

std::string pieces(int count, const std::string& filler = "")
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i)
            text += '/';
        text += filler.empty() ? "p" + std::to_string(i) : filler;
    }
    return text;
}

TEST_F(EcrProperties, PrepareParametersCountsPieces)
{
    std::string text = pieces(16);
    ASSERT_EQ(ecr->PrepareParameters(text.data()), 0);
    ASSERT_EQ(ecr->m_ServiceParams.size(), 16u);
    const _service_parameter& p15 = ecr->m_ServiceParams[15];
    EXPECT_EQ(std::string(p15.text, 16), std::string("p15") + std::string(13, '\0'));
    EXPECT_EQ(p15.separator, 0x1C);

    ecr->ApplyProperties();
    EXPECT_EQ(std::memcmp(ecr->GetParam()->service_params, ecr->m_ServiceParams.data(), 16 * 17), 0);
    EXPECT_EQ(ecr->GetParam()->service_params[0].separator, 0x1C);

    text = pieces(15);
    EXPECT_EQ(ecr->PrepareParameters(text.data()), E_INVALIDARG);
    EXPECT_EQ(ecr->m_ServiceParams.size(), 15u);
    text = pieces(17);
    EXPECT_EQ(ecr->PrepareParameters(text.data()), E_INVALIDARG);
    EXPECT_EQ(ecr->m_ServiceParams.size(), 17u);
    text = "";
    EXPECT_EQ(ecr->PrepareParameters(text.data()), E_INVALIDARG);
    EXPECT_EQ(ecr->m_ServiceParams.size(), 1u);
    EXPECT_EQ(ecr->PrepareParameters(nullptr), E_INVALIDARG);
    EXPECT_TRUE(ecr->m_ServiceParams.empty());
}

TEST_F(EcrProperties, PrepareParametersPieceWidthAndEmptyPieces)
{
    // Sixteen characters fill a piece exactly; seventeen stop the parse.
    std::string text = pieces(16, std::string(16, 'w'));
    ASSERT_EQ(ecr->PrepareParameters(text.data()), 0);
    EXPECT_EQ(std::string(ecr->m_ServiceParams[3].text, 16), std::string(16, 'w'));

    text = "a/b/c/" + std::string(17, 'x') + "/e/f/g/h/i/j/k/l/m/n/o/p";
    EXPECT_EQ(ecr->PrepareParameters(text.data()), E_INVALIDARG);
    EXPECT_EQ(ecr->m_ServiceParams.size(), 3u);  // the pieces before it stay

    text = "a//c/d/e/f/g/h/i/j/k/l/m/n/o/p";
    ASSERT_EQ(ecr->PrepareParameters(text.data()), 0);
    const char empty[16] = {};
    EXPECT_EQ(std::memcmp(ecr->m_ServiceParams[1].text, empty, 16), 0);
    EXPECT_EQ(ecr->m_ServiceParams[2].text[0], 'c');

    text = std::string(15, '/');  // sixteen empty pieces
    EXPECT_EQ(ecr->PrepareParameters(text.data()), 0);
    EXPECT_EQ(ecr->m_ServiceParams.size(), 16u);
}

TEST(SetupErrorInfo, NonZeroIsFail)
{
    EXPECT_EQ(SetupErrorInfo(0), 0);
    EXPECT_EQ(SetupErrorInfo(9), E_FAIL);
    EXPECT_EQ(SetupErrorInfo(-1), E_FAIL);
}

}  // namespace
