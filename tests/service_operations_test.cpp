// Service operations end to end: the exported functions (or the ECR object's
// members where no export exists) against the scripted terminal over
// loopback TCP.  Each case checks the exact request bytes the terminal got
// and what the caller receives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compat/compat.h"
#include "support/service_terminal.h"

using namespace support;

namespace {

class ServiceOps : public ::testing::Test {
protected:
    // Start the queued script and open the connection to it.
    void open()
    {
        t.start();
        ecr = connect(t);
        ASSERT_NE(ecr, nullptr);
    }
    // The script ran as written; returns the frames the terminal received.
    std::vector<std::string> finish(unsigned timeout_ms = 20000)
    {
        EXPECT_TRUE(t.wait_done(timeout_ms));
        const auto errors = t.errors();
        EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.front());
        return t.frames_received();
    }

    sim::Terminal t{sim::Link::Tcp};
    CVarkoClass2017* ecr = nullptr;
};

// ---- stored transactions ----------------------------------------------------

TEST_F(ServiceOps, LastStoredTransactionFillsEveryResultAccessor)
{
    const std::string receipt = cp1251_text(2048);  // the field's full size, no terminator
    answer(t, "GTL10.00", full_answer("GTL11.", "00", receipt));
    open();
    ASSERT_EQ(PosGTL(150), 0);  // merchant above 99 asks for merchant 0
    EXPECT_EQ(finish(), std::vector<std::string>{"GTL10.00"});

    double d = 0;
    ASSERT_EQ(get_LastTrxAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 12.34);
    ASSERT_EQ(get_LastTrxAddAmount(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.5);
    long l = 0;
    ASSERT_EQ(get_LastTrxEcrNum(&l), 0);
    EXPECT_EQ(l, 7);
    ASSERT_EQ(get_LastTrxEcrReceiptNum(&l), 0);
    EXPECT_EQ(l, 123456);
    ASSERT_EQ(get_LastTrxCardExpireMonth(&l), 0);
    EXPECT_EQ(l, 12);
    ASSERT_EQ(get_LastTrxCardExpireYear(&l), 0);
    EXPECT_EQ(l, 27);
    ASSERT_EQ(get_LastTrxInvoceNumber(&l), 0);
    EXPECT_EQ(l, 321);
    ASSERT_EQ(get_LastTrxTransactionDateDay(&l), 0);
    EXPECT_EQ(l, 5);
    ASSERT_EQ(get_LastTrxTransactionDateMonth(&l), 0);
    EXPECT_EQ(l, 3);
    ASSERT_EQ(get_LastTrxTransactionTimeHours(&l), 0);
    EXPECT_EQ(l, 14);
    ASSERT_EQ(get_LastTrxTransactionTimeMinutes(&l), 0);
    EXPECT_EQ(l, 45);
    ASSERT_EQ(get_LastTrxProcessingCode(&l), 0);
    EXPECT_EQ(l, 123456);
    ASSERT_EQ(get_LastTrxPosEntryMode(&l), 0);
    EXPECT_EQ(l, 51);
    ASSERT_EQ(get_LastTrxPosConditionCode(&l), 0);
    EXPECT_EQ(l, 7);
    ASSERT_EQ(get_LastTrxCaptureReference(&l), 0);
    EXPECT_EQ(l, 42);

    char text[6145 + 16];
    ASSERT_EQ(get_LastTrxRRN(text), 0);
    EXPECT_STREQ(text, "123456789012");
    ASSERT_EQ(get_LastTrxPAN(text), 0);
    EXPECT_STREQ(text, "4111111111111111234");
    ASSERT_EQ(get_LastTrxApprovalCode(text), 0);
    EXPECT_STREQ(text, "A1B2C3");
    ASSERT_EQ(get_LastTrxIssuerName(text), 0);
    EXPECT_STREQ(text, "VISAISS");
    ASSERT_EQ(get_LastTrxMerchantId(text), 0);
    EXPECT_STREQ(text, "MERCHANT0000001");
    ASSERT_EQ(get_LastTrxCardName(text), 0);
    EXPECT_STREQ(text, "VISA CLASSIC");
    ASSERT_EQ(get_LastTrxTerminalID(text), 0);
    EXPECT_STREQ(text, "TERM0001");
    ASSERT_EQ(get_LastTrxFld63Sf89(text), 0);
    EXPECT_STREQ(text, "ADDITIONAL DATA");
    ASSERT_EQ(get_LastTrxNameBank(text), 0);
    EXPECT_STREQ(text, "\xD0\x91\xD0\xB0\xD0\xBD\xD0\xBA \xD0\xA2\xD0\xB5\xD1\x81\xD1\x82");

    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(get_LastTrxReceipt(text), 0);
    const std::string utf8 = utf8_of(receipt);
    EXPECT_EQ(std::string(text), utf8);
    for (std::size_t i = utf8.size() + 1; i < sizeof text; ++i)
        ASSERT_EQ(text[i], 'x') << "byte " << i;

    char tag[4] = {'-', '-', '-', '#'};
    ASSERT_EQ(get_LastTrxOpTag(tag), 0);
    EXPECT_EQ(std::string(tag, 4), "GTL#");

    static char logo[8192];
    ASSERT_EQ(get_LastTrxBankLogo(logo), 0);
    EXPECT_EQ(std::string(logo, 5), std::string("LOGO\0", 5));
    ASSERT_EQ(get_LastTrxSignatureLogo(logo), 0);
    EXPECT_EQ(std::string(logo, 5), std::string("SIGN\0", 5));
}

TEST_F(ServiceOps, StoredTransactionBySequenceAndByInvoice)
{
    answer(t, "GTS10.07" + kFS + "0042", full_answer("GTS11.", "00", "R1"));
    answer(t, "GTI10.000123" + kFS + "01", full_answer("GTI11.", "05", "R2"));
    open();
    ASSERT_EQ(PosGTS(7, 42), 0);
    char rrn[13];
    ASSERT_EQ(get_LastTrxRRN(rrn), 0);
    EXPECT_STREQ(rrn, "123456789012");
    ASSERT_EQ(PosGTI(1, 123), 0);
    unsigned short code = 0;
    ASSERT_EQ(ecr->get_LastTrxLoyalRespCode(&code), 0);
    EXPECT_EQ(code, 5);
    char receipt[6145];
    ASSERT_EQ(get_LastTrxReceipt(receipt), 0);
    EXPECT_STREQ(receipt, "R2");
    finish();
}

TEST_F(ServiceOps, CountOfStoredTransactionsAsksForMerchantZeroAbove99)
{
    answer(t, "GTC10.00", msg({"GTC11.0015"}));
    open();
    unsigned long count = 0;
    ASSERT_EQ(PosGTC(150, &count), 0);
    EXPECT_EQ(count, 15u);
    EXPECT_EQ(finish(), std::vector<std::string>{"GTC10.00"});
}

TEST_F(ServiceOps, CountAnswerWithoutACountLeavesTheCallersValue)
{
    answer(t, "GTC10.42", "GTC11.");
    open();
    unsigned long count = 4242;
    ASSERT_EQ(PosGTC(42, &count), 0);
    EXPECT_EQ(count, 4242u);
    finish();
}

TEST_F(ServiceOps, SummaryIsReadThroughTheCounters)
{
    answer(t, "GSI10.07", msg({"GSI11.3", "955", "1", "20"}));
    open();
    ecr->m_GsiReport = _ecr_gsi_report{9, 9.0, 9, 9.0, 9, 9.0};  // an earlier summary
    ASSERT_EQ(PosGSI(7), 0);
    EXPECT_EQ(finish(), std::vector<std::string>{"GSI10.07"});
    int n = -1;
    double d = -1;
    ASSERT_EQ(CountPurchaseTransaction(&n), 0);
    EXPECT_EQ(n, 3);
    ASSERT_EQ(TotolAmoundPurchaseTransaction(&d), 0);
    EXPECT_DOUBLE_EQ(d, 9.55);
    ASSERT_EQ(CountRefundTransaction(&n), 0);
    EXPECT_EQ(n, 1);
    ASSERT_EQ(TotolAmoundRefundTransaction(&d), 0);
    EXPECT_DOUBLE_EQ(d, 0.2);
    // The third pair was not in the answer: zero, not the earlier summary.
    ASSERT_EQ(CountVoidTransaction(&n), 0);
    EXPECT_EQ(n, 0);
    ASSERT_EQ(TotolAmoundVoidTransaction(&d), 0);
    EXPECT_EQ(d, 0.0);
}

TEST_F(ServiceOps, SummaryIndexOutOfRangeAsksForMerchantZero)
{
    answer(t, "GSI10.00", msg({"GSI11.1", "100", "0", "0", "0", "0"}));
    answer(t, "GSI10.00", msg({"GSI11.2", "100", "0", "0", "0", "0"}));
    open();
    ASSERT_EQ(PosGSI(100), 0);
    ASSERT_EQ(PosGSI(-1), 0);
    int n = 0;
    ASSERT_EQ(CountPurchaseTransaction(&n), 0);
    EXPECT_EQ(n, 2);
    finish();
}

// ---- card reads -------------------------------------------------------------

TEST_F(ServiceOps, DiscountCardReadChecksItsWaitTime)
{
    answer(t, "DCR10." + kFS + "99", msg({"DCR11.T1", "6761000012345678", "T3", "HASH"}));
    open();
    char* track = nullptr;
    EXPECT_EQ(PosDiscountMagneticRead(0, &track), E_INVALIDARG);
    EXPECT_EQ(PosDiscountMagneticRead(100, &track), E_INVALIDARG);
    EXPECT_EQ(PosDiscountMagneticRead(5, nullptr), 1);
    ASSERT_EQ(PosDiscountMagneticRead(99, &track), 0);
    ASSERT_NE(track, nullptr);
    EXPECT_STREQ(track, "6761000012345678");
    EXPECT_EQ(track, ecr->m_MReadReport.track2);
    // Only the valid call reached the terminal.
    EXPECT_EQ(finish(), std::vector<std::string>{"DCR10." + kFS + "99"});
    // Not a fuel-card read: the track accessors refuse.
    char* p = nullptr;
    EXPECT_EQ(ecr->get_LastTrxTrack2(&p), 1);
    EXPECT_EQ(p, nullptr);
}

TEST_F(ServiceOps, PlainCardReadCopiesAFullTrackAndTerminatesIt)
{
    const std::string track2(100, '7');
    answer(t, "CRD10." + kFS, msg({"CRD11.T1", track2, "TRACK3"}));
    open();
    char buf[128];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(PosMagneticRead(buf), 0);
    EXPECT_EQ(std::string(buf), track2);  // 100 characters and a terminator, not track 3
    EXPECT_EQ(buf[101], 'x');
    char* p = nullptr;
    EXPECT_EQ(ecr->get_LastTrxTrack2(&p), 1);
    finish();
}

TEST_F(ServiceOps, FuelCardReadIsReadThroughTheTrackAccessors)
{
    answer(t, "ACR10." + kFS, msg({"ACR11.TRACK1", "TRACK2", "TRACK3", "0123456789ABCDEF"}));
    open();
    ASSERT_EQ(ecr->PosAZSCardRead(), 0);
    char* p = nullptr;
    ASSERT_EQ(ecr->get_LastTrxTrack1(&p), 0);
    EXPECT_STREQ(p, "TRACK1");
    ASSERT_EQ(ecr->get_LastTrxTrack2(&p), 0);
    EXPECT_STREQ(p, "TRACK2");
    ASSERT_EQ(ecr->get_LastTrxSHA1Hash(&p), 0);
    EXPECT_STREQ(p, "0123456789ABCDEF");
    finish();
}

TEST_F(ServiceOps, PinReadHandsOutThePinResult)
{
    answer(t, "APP10.07" + kFS, "APP11.123456");
    open();
    ecr->GetLastReport()->Amount = 5.0;  // the PIN read starts from an empty report
    char* pin = nullptr;
    ASSERT_EQ(ecr->PosAZSPinRead(7, &pin), 0);
    ASSERT_EQ(pin, ecr->GetLastReport()->PinResult);
    EXPECT_EQ(std::string(pin, 6), "123456");
    EXPECT_EQ(ecr->GetLastReport()->Amount, 0.0);
    finish();
}

TEST_F(ServiceOps, DiscountInitHandsOutTheHashOrElseTrack2)
{
    answer(t, "DSC10." + kFS, msg({"DSC11.T1", "TRACK2", "", "HASHTEXT"}));
    answer(t, "DSC10." + kFS, msg({"DSC11.T1", "TRACK2"}));
    open();
    char* id = nullptr;
    ASSERT_EQ(PosDiscountInit(&id), 0);
    EXPECT_STREQ(id, "HASHTEXT");
    EXPECT_TRUE(ecr->m_CardReadPending);
    ecr->m_CardReadPending = false;
    ASSERT_EQ(PosDiscountInit(&id), 0);
    EXPECT_STREQ(id, "TRACK2");
    EXPECT_TRUE(ecr->m_CardReadPending);
    finish();
}

TEST_F(ServiceOps, DiscountInformationIsReadThroughItsAccessors)
{
    answer(t, "DIN10." + kFS, "DIN11.05Coffee Shop1550");
    open();
    ASSERT_EQ(ecr->PosDiscountInitEx(), 0);
    unsigned char id = 0;
    ASSERT_EQ(ecr->get_DiscountMerchantID(&id), 0);
    EXPECT_EQ(id, 5);
    char* p = nullptr;
    ASSERT_EQ(ecr->get_DiscountMerchantName(&p), 0);
    EXPECT_STREQ(p, "Coffee Shop");
    ASSERT_EQ(ecr->get_DiscountInfo(&p), 0);
    EXPECT_STREQ(p, "05Coffee Shop1550");
    double rate = 0;
    ASSERT_EQ(ecr->get_DiscountRate(&rate), 0);
    EXPECT_DOUBLE_EQ(rate, 15.0);
    EXPECT_TRUE(ecr->m_CardReadPending);
    finish();
}

TEST_F(ServiceOps, AccountReadsSetTheAccountTypeAndHandOutTheirTrack)
{
    answer(t, "DSC10.ACC1" + kFS + "S" + kFS, msg({"DSC11.T1S", "T2S"}));
    answer(t, "GRC10.ACC2" + kFS, msg({"GRC11.T1R", "T2R"}));
    open();
    char account1[] = "ACC1";
    char account2[] = "ACC2";
    char* track = nullptr;
    EXPECT_EQ(ecr->PosDiscountInitAccIdSale(nullptr, &track), 1);
    EXPECT_EQ(ecr->PosDiscountInitAccIdSale(account1, nullptr), 1);
    ASSERT_EQ(ecr->PosDiscountInitAccIdSale(account1, &track), 0);
    EXPECT_STREQ(track, "T2S");
    EXPECT_EQ(ecr->m_AccountType, 'S');
    ASSERT_EQ(ecr->PosRefundCardreadedMer(account2, &track), 0);
    EXPECT_STREQ(track, "T1R");
    EXPECT_EQ(ecr->m_AccountType, 'R');
    EXPECT_TRUE(ecr->m_CardReadPending);
    finish();
}

// A cancel with nothing running is over once the next operation starts.
TEST_F(ServiceOps, CancelWithNothingRunningDoesNotStopTheNextServiceCall)
{
    answer(t, "GTL10.00", full_answer("GTL11.", "00", "RECEIPT"));
    open();
    EXPECT_EQ(CancelTransaction(), 0);
    EXPECT_EQ(ecr->GetPosHandle()->interrupt.load(), 1);
    EXPECT_EQ(PosGTL(0), 0);
    EXPECT_EQ(finish(), std::vector<std::string>{"GTL10.00"});
}

// ---- card group -------------------------------------------------------------

TEST_F(ServiceOps, CancelOfAGroupCompletionWithoutACardReadFails)
{
    open();
    EXPECT_EQ(ecr->PosCancelGetGroupCompletion(), E_FAIL);
    Sleep(200);
    EXPECT_TRUE(t.frames_received().empty());
}

TEST_F(ServiceOps, GroupReadThenCancel)
{
    answer(t, "GGP10." + kFS, msg({"GGP11.GOLD CARDS", "ignored"}));
    answer(t, "CNL10." + kFS, "CNL11.");
    open();
    char* name = nullptr;
    ASSERT_EQ(ecr->PosGetGroup(&name), 0);
    EXPECT_STREQ(name, "GOLD CARDS");
    EXPECT_TRUE(ecr->m_CardReadPending);
    ecr->m_DiscountPending = true;
    ASSERT_EQ(ecr->PosCancelGetGroupCompletion(), 0);
    EXPECT_FALSE(ecr->m_CardReadPending);
    EXPECT_FALSE(ecr->m_DiscountPending);
    EXPECT_EQ(ecr->GetPosHandle()->interrupt.load(), 1);  // stays raised until the next transaction
    EXPECT_EQ(ecr->PosCancelGetGroupCompletion(), E_FAIL);
    finish();
}

// ---- terminal information ---------------------------------------------------

TEST_F(ServiceOps, SoftwareNameSerialNumberAndInformationTexts)
{
    answer(t, "GNS10." + kFS, "GNS11.TERMSOFT 2.17");
    answer(t, "TSN10." + kFS, msg({"TSN11.SN00012345", "extra"}));
    answer(t, "INF10." + kFS, "INF11.first information");
    answer(t, "INM10." + kFS, "INM11.second");
    open();
    EXPECT_EQ(PosGetNameSoftware(nullptr), -1);
    char name[256];
    std::memset(name, 'x', sizeof name);
    ASSERT_EQ(PosGetNameSoftware(name), 0);
    EXPECT_STREQ(name, "TERMSOFT 2.17");
    char serial[256];
    ASSERT_EQ(PosTSN(serial), 0);
    EXPECT_STREQ(serial, "SN00012345");

    char* text = nullptr;
    EXPECT_EQ(ecr->PosGetInfo(GIT_INF, nullptr), 1);
    ASSERT_EQ(ecr->PosGetInfo(GIT_INF, &text), 0);
    EXPECT_EQ(text, ecr->m_InfoText);
    EXPECT_STREQ(text, "first information");
    ASSERT_EQ(ecr->PosGetInfo(GIT_INM, &text), 0);
    EXPECT_STREQ(text, "second");  // the same storage, overwritten by the next call
    finish();
}

TEST_F(ServiceOps, XReport)
{
    answer(t, "NDX10.", "NDX11.");
    open();
    ASSERT_EQ(PosPrintXReport(), 0);
    EXPECT_EQ(finish(), std::vector<std::string>{"NDX10."});
}

// ---- audit ------------------------------------------------------------------

TEST_F(ServiceOps, AuditOfThreeRecordsIsPagedToItsEndAndRestarted)
{
    audit(t, "01", 3);
    audit(t, "02", 1);
    open();
    char selection[] = "01";
    char other[] = "02";
    char rec[80];
    ASSERT_EQ(PosAudit(selection, rec), 0);
    EXPECT_EQ(std::string(rec, 78), handed(1, 3, '1'));
    ASSERT_EQ(PosAudit(other, rec), 0);  // paging: the selection is not used
    EXPECT_EQ(std::string(rec, 78), handed(2, 3, '1'));
    ASSERT_EQ(PosAudit(other, rec), 0);
    EXPECT_EQ(std::string(rec, 78), handed(3, 3, '0'));
    std::memset(rec, 'x', sizeof rec);
    ASSERT_EQ(PosAudit(other, rec), 0);
    EXPECT_EQ(std::string(rec, 3), std::string("0\0x", 3));  // end marker and its terminator only
    ASSERT_EQ(PosAudit(other, rec), 0);  // a new audit
    EXPECT_EQ(std::string(rec, 78), handed(1, 1, '0'));
    const auto frames = finish();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0], "AUD10.01" + kFS);
    EXPECT_EQ(frames[4], "AUD10.02" + kFS);
}

TEST_F(ServiceOps, AuditOfOneRecordRestartsAtTheNextCall)
{
    audit(t, "7", 1);
    audit(t, "7", 1);
    open();
    char selection[] = "7";
    char rec[78];
    ASSERT_EQ(PosAudit(selection, rec), 0);
    EXPECT_EQ(std::string(rec, 78), handed(1, 1, '0'));
    ASSERT_EQ(PosAudit(selection, rec), 0);
    EXPECT_EQ(std::string(rec, 78), handed(1, 1, '0'));
    finish();
}

TEST_F(ServiceOps, FailedAuditLeavesTheNextCallStartingANewOne)
{
    t.expect_frame("AUD10.01" + kFS, 10000).send_ack().send_frame("AUD11.2").expect_ack().expect_frame("AUD12.");
    audit(t, "01", 2);
    open();
    char selection[] = "01";
    char rec[78];
    EXPECT_EQ(PosAudit(selection, rec), E_FAIL);  // the terminal refused ("2")
    ASSERT_EQ(PosAudit(selection, rec), 0);
    EXPECT_EQ(std::string(rec, 78), handed(1, 2, '1'));
    finish();
}

// ---- without a connection, null outputs, port and logged requests ------------

TEST(ServiceOpsClosed, EveryExchangeFailsWithoutAConnection)
{
    CVarkoClass2017* ecr = create_object();
    char buf[256];
    char* p = nullptr;
    unsigned long count = 0;
    char sel[] = "01";
    EXPECT_EQ(PosMagneticRead(buf), E_FAIL);
    EXPECT_EQ(PosDiscountMagneticRead(10, &p), E_FAIL);
    EXPECT_EQ(PosDiscountInit(&p), E_FAIL);
    EXPECT_EQ(PosAudit(sel, buf), E_FAIL);
    EXPECT_EQ(PosGetNameSoftware(buf), E_FAIL);
    EXPECT_EQ(PosTSN(buf), E_FAIL);
    EXPECT_EQ(PosGTC(0, &count), E_FAIL);
    EXPECT_EQ(PosGTS(0, 1), E_FAIL);
    EXPECT_EQ(PosGTL(0), E_FAIL);
    EXPECT_EQ(PosGTI(0, 1), E_FAIL);
    EXPECT_EQ(PosGSI(0), E_FAIL);
    EXPECT_EQ(PosPrintXReport(), E_FAIL);
    EXPECT_EQ(ecr->PosAZSCardRead(), E_FAIL);
    EXPECT_EQ(ecr->PosAZSPinRead(1, &p), E_FAIL);
    EXPECT_EQ(ecr->PosCardIdent(), E_FAIL);
    EXPECT_EQ(ecr->PosDiscountInitEx(), E_FAIL);
    EXPECT_EQ(ecr->PosGetGroup(&p), E_FAIL);
    EXPECT_EQ(ecr->PosRefundCardreaded(&p), E_FAIL);
    EXPECT_EQ(ecr->PosGetInfo(GIT_INF, &p), E_FAIL);
    EXPECT_EQ(ecr->PosClearPort(), E_FAIL);
    EXPECT_FALSE(ecr->m_CardReadPending);
}

TEST_F(ServiceOps, NullOutputsReturnOneBeforeAnythingIsSent)
{
    open();
    char sel[] = "01";
    EXPECT_EQ(PosMagneticRead(nullptr), 1);
    EXPECT_EQ(PosDiscountInit(nullptr), 1);
    EXPECT_EQ(PosAudit(sel, nullptr), 1);
    EXPECT_EQ(PosTSN(nullptr), 1);
    EXPECT_EQ(PosGTC(0, nullptr), 1);
    EXPECT_EQ(ecr->PosAZSPinRead(1, nullptr), 1);
    EXPECT_EQ(ecr->PosGetGroup(nullptr), 1);
    EXPECT_EQ(ecr->PosRefundCardreaded(nullptr), 1);
    EXPECT_EQ(ecr->PosGetNameSoftware(nullptr), 1);
    Sleep(200);
    EXPECT_TRUE(t.frames_received().empty());
}

TEST_F(ServiceOps, ClearPortAndTheRequestsThatAreOnlyLogged)
{
    open();
    EXPECT_EQ(ecr->PosClearPort(), 0);
    EXPECT_EQ(ecr->PosConfirm(), 0);
    EXPECT_EQ(ecr->PosReqCurrReceipt(), 0);
    EXPECT_EQ(ecr->PosReqReceiptByInv(12, 1), 0);
    Sleep(200);
    EXPECT_TRUE(t.frames_received().empty());
}

TEST_F(ServiceOps, FailedExchangeGivesEFail)
{
    // A count answer with the wrong code.
    t.expect_frame("GTC10.00", 10000).send_ack().send_frame("GSI11.1");
    open();
    unsigned long count = 9;
    EXPECT_EQ(PosGTC(0, &count), E_FAIL);
    EXPECT_EQ(count, 9u);
    finish();
}

}  // namespace
