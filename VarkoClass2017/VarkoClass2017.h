// The ECR object: connection and operation properties, the request record and
// the reports, the transaction run with its callbacks, the payment and service
// operations and the last-transaction accessors.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ecrbridge.h"
#include "protocol/pos_handle.h"
#include "protocol/records.h"
#include "transport/transport.h"

typedef int HRESULT;  // 0, E_FAIL, E_INVALIDARG, 1, 5023

// E_FAIL for a non-zero status code, 0 for 0.
HRESULT SetupErrorInfo(long code);

// Check-card flow for a request prepared with operation 14 (PCC).
ECRBRIDGE_API unsigned long ThreadFunc2(void* object);

class CVarkoClass2017 {
public:
    CVarkoClass2017();
    ~CVarkoClass2017();
    CVarkoClass2017(const CVarkoClass2017&) = delete;
    CVarkoClass2017& operator=(const CVarkoClass2017&) = delete;

    // ---- construction, release, version --------------------------------
    ECRBRIDGE_API HRESULT FinalConstruct();
    ECRBRIDGE_API void FinalRelease();
    ECRBRIDGE_API void getVersion();
    ECRBRIDGE_API HRESULT get_DLLVersion(char* pVal);

    // ---- connection ------------------------------------------------------
    ECRBRIDGE_API HRESULT PosOpen(int port, unsigned long* pVal);
    ECRBRIDGE_API HRESULT PosClose();
    ECRBRIDGE_API HRESULT CommOpenTCP(char* address, short port);
    ECRBRIDGE_API HRESULT CommClose();

    // ---- properties ------------------------------------------------------
    ECRBRIDGE_API HRESULT get_ECRNumber(unsigned char* pVal);
    ECRBRIDGE_API HRESULT put_ECRNumber(unsigned char newVal);
    ECRBRIDGE_API HRESULT get_MerchantID(unsigned char* pVal);
    ECRBRIDGE_API HRESULT put_MerchantID(unsigned char newVal);
    ECRBRIDGE_API HRESULT get_MerchantID5Symbol(unsigned char* pVal);
    ECRBRIDGE_API HRESULT put_MerchantID5Symbol(unsigned char newVal);
    ECRBRIDGE_API HRESULT get_CurrencyCode(unsigned short* pVal);
    ECRBRIDGE_API HRESULT put_CurrencyCode(unsigned short newVal);
    ECRBRIDGE_API HRESULT get_RRN(unsigned long long* pVal);
    ECRBRIDGE_API HRESULT put_RRN(unsigned long long newVal);
    ECRBRIDGE_API HRESULT get_ECRReceiptNumber(unsigned long long* pVal);
    ECRBRIDGE_API HRESULT put_ECRReceiptNumber(unsigned long long newVal);
    ECRBRIDGE_API HRESULT get_ServiceNumber(char* pVal);
    ECRBRIDGE_API HRESULT put_ServiceNumber(char* newVal);
    ECRBRIDGE_API HRESULT get_NominalNumber(unsigned char* pVal);
    ECRBRIDGE_API HRESULT put_NominalNumber(unsigned char newVal);
    ECRBRIDGE_API HRESULT get_HostText(char** pVal);
    ECRBRIDGE_API HRESULT put_HostText(char* newVal);
    ECRBRIDGE_API HRESULT get_PINRequest(short* pVal);
    ECRBRIDGE_API HRESULT put_PINRequest(short newVal);
    ECRBRIDGE_API HRESULT get_EntryMode(short* pVal);
    ECRBRIDGE_API HRESULT put_EntryMode(short newVal);
    ECRBRIDGE_API HRESULT get_PosIP(char* pVal);
    ECRBRIDGE_API HRESULT put_PosIP(char* newVal);
    ECRBRIDGE_API HRESULT get_PosPort(unsigned short* pVal);
    ECRBRIDGE_API HRESULT put_PosPort(unsigned short newVal);
    ECRBRIDGE_API HRESULT get_TransportType(short* pVal);
    ECRBRIDGE_API HRESULT put_TransportType(short newVal);
    ECRBRIDGE_API HRESULT get_ECRIP(char* pVal);
    ECRBRIDGE_API HRESULT put_ECRIP(char* newVal);
    ECRBRIDGE_API HRESULT get_ECRPort(unsigned short* pVal);
    ECRBRIDGE_API HRESULT put_ECRPort(unsigned short newVal);
    ECRBRIDGE_API HRESULT get_UnixTTY(char* pVal);
    ECRBRIDGE_API HRESULT put_UnixTTY(char* newVal);
    ECRBRIDGE_API HRESULT put_EcrLogging(short newVal);
    ECRBRIDGE_API HRESULT get_EcrLoging(short* pVal);
    ECRBRIDGE_API HRESULT put_EcrLogingPath(const char* path);

    ECRBRIDGE_API _init_transaction_request* GetParam();
    ECRBRIDGE_API _ecr_transaction_report* GetReport();
    ECRBRIDGE_API _ecr_transaction_report* GetLastReport();
    ECRBRIDGE_API PosHandle* GetPosHandle();
    ECRBRIDGE_API void ApplyProperties();
    ECRBRIDGE_API HRESULT PrepareParameters(char* text);

    // ---- transaction worker ---------------------------------------------
    ECRBRIDGE_API HRESULT StartTransaction(unsigned short op, double amount, double addAmount, long invoice,
                                           unsigned short discountType, unsigned short completeType);
    ECRBRIDGE_API HRESULT StartThread();
    ECRBRIDGE_API static unsigned long ThreadFunc(void* object);
    ECRBRIDGE_API HRESULT Transaction();
    ECRBRIDGE_API void ClearBuffers();
    // The last report as the accessors read it: inside the completion
    // callback, the completed operation's (see CallbackView).
    _ecr_transaction_report& Reported();
    // The state word, the end of this thread's claim of the link, then the
    // completion callback: nothing of the handle is touched after it.
    ECRBRIDGE_API HRESULT Fire_OnTrxComplete(unsigned long result);
    ECRBRIDGE_API HRESULT Fire_OnMsgReceived(char const* text);
    ECRBRIDGE_API unsigned int get_State();
    ECRBRIDGE_API HRESULT SetPurchTimeout(unsigned short seconds);
    ECRBRIDGE_API HRESULT CancelPurch();
    ECRBRIDGE_API HRESULT PosInterruptTrx();
    ECRBRIDGE_API HRESULT PosAbortTrx();
    ECRBRIDGE_API HRESULT get_CardBelong(unsigned short* pVal);

    // ---- payment operations ---------------------------------------------
    ECRBRIDGE_API HRESULT PosPurchase(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosRefund(double amount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosCashBack(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosPurchaseInterrupt(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosRefundInterrupt(double amount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosVoid(long invoice, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosVoidInterrupt(long invoice, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosPartVoid(long invoice, double amount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosAuth(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosAuthFin(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosAuthFinNoCard(char* authCode, double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosOffline(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosPrePaid(unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosCash(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosPayment(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosBalance(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosAccFund(double amount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosSettle(unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosSettleReported(unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosSettleMultiCurrency(unsigned char unused, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosXReceiptPRN(unsigned long* pResult);
    ECRBRIDGE_API HRESULT EchoTest(unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosInfocall();
    ECRBRIDGE_API HRESULT PosInfocallNoCard();
    ECRBRIDGE_API HRESULT PosPing(unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosPrintMessage(char* text);
    ECRBRIDGE_API HRESULT ServiceParam(char* text, double amount, char** out);
    ECRBRIDGE_API HRESULT ServiceParamMer(char* text, double amount, char** out);
    ECRBRIDGE_API HRESULT ReqDiscount(unsigned short type, unsigned long* pResult);
    ECRBRIDGE_API HRESULT CompleteTransaction(unsigned short type, double unused, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosDiscountCompletion(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosGetGroupCompletion(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosRefundCardreadedCompletion(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosGetGroupCompletionBlocking(double amount, double addAmount, int* pResult);
    ECRBRIDGE_API HRESULT PosDiscountCompletionBlocking(double amount, double addAmount, int* pResult);
    ECRBRIDGE_API HRESULT PosPurchaseCheckCard(double amount, double addAmount, unsigned long* pResult);
    ECRBRIDGE_API HRESULT PosPurchaseCheckCardCompleteTran(int complete, unsigned long* pResult);

    // ---- service operations ---------------------------------------------
    ECRBRIDGE_API HRESULT PosMagneticRead(char* track);
    ECRBRIDGE_API HRESULT PosDiscountMagneticRead(unsigned char wait, char** track);
    ECRBRIDGE_API HRESULT PosAZSCardRead();
    ECRBRIDGE_API HRESULT PosAZSPinRead(unsigned char parameter, char** pin);
    ECRBRIDGE_API HRESULT PosCardIdent();
    ECRBRIDGE_API HRESULT PosDiscountInit(char** id);
    ECRBRIDGE_API HRESULT PosDiscountInitEx();
    ECRBRIDGE_API HRESULT PosDiscountInitAccIdSale(char* account, char** track);
    ECRBRIDGE_API HRESULT PosDiscountInitAccIdCash(char* account, char** track);
    ECRBRIDGE_API HRESULT PosRefundCardreadedMer(char* account, char** track);
    ECRBRIDGE_API HRESULT PosGetGroup(char** name);
    ECRBRIDGE_API HRESULT PosRefundCardreaded(char** name);
    ECRBRIDGE_API HRESULT PosCancelGetGroupCompletion();
    ECRBRIDGE_API HRESULT PosGetNameSoftware(char* name);
    ECRBRIDGE_API HRESULT PosGetInfo(tagGetInfoType kind, char** text);
    ECRBRIDGE_API HRESULT PosTSN(char* serial);
    ECRBRIDGE_API HRESULT PosGTC(unsigned char index, unsigned long* count);
    ECRBRIDGE_API HRESULT PosGTS(unsigned char index, unsigned long sequence);
    ECRBRIDGE_API HRESULT PosGTL(unsigned char index);
    ECRBRIDGE_API HRESULT PosGTI(unsigned char index, long invoice);
    ECRBRIDGE_API HRESULT PosGSI(int index);
    ECRBRIDGE_API HRESULT PosPrintXReport();
    ECRBRIDGE_API HRESULT PosAudit(char* selection, char* record);
    ECRBRIDGE_API HRESULT PosClearPort();
    ECRBRIDGE_API HRESULT PosConfirm();
    ECRBRIDGE_API HRESULT PosReqCurrReceipt();
    ECRBRIDGE_API HRESULT PosReqReceiptByInv(unsigned long invoice, unsigned char index);
    ECRBRIDGE_API HRESULT get_DiscountMerchantID(unsigned char* pVal);
    ECRBRIDGE_API HRESULT get_DiscountMerchantName(char** pVal);
    ECRBRIDGE_API HRESULT get_DiscountInfo(char** pVal);
    ECRBRIDGE_API HRESULT get_DiscountRate(double* pVal);

    // ---- last-transaction accessors -------------------------------------
    ECRBRIDGE_API HRESULT get_LastTrxRRN(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxPAN(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxApprovalCode(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxIssuerName(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxMerchantId(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCardName(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTerminalID(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTrack3(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxFld63Sf89(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxNameBank(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxReceipt(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxBankLogo(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxSignatureLogo(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxOpTag(char* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxAddAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTotalAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxLoyalTotalAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxEcrNum(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxEcrReceiptNum(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxInvoceNumber(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxProcessingCode(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxBatchId(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCardExpireYear(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCardExpireMonth(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTransactionDateDay(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTransactionDateMonth(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTransactionTimeHours(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTransactionTimeMinutes(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxPosEntryMode(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxPosConditionCode(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCaptureReference(long* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxSalesCount(unsigned short* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxRefundsCount(unsigned short* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTotalTrxCount(unsigned short* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxLoyalGiftCount(unsigned short* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxLoyalRespCode(unsigned short* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCurrencyCode(unsigned short* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxDebitsAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxDebitsCommissionAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCreditsAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxCreditsCommissionAmount(double* pVal);
    ECRBRIDGE_API HRESULT get_LastTrxRNK(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxProductCode(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxLoyalOperDate(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxLoyalPAN(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxLoyalGiftCode(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTrack1(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxTrack2(char** pVal);
    ECRBRIDGE_API HRESULT get_LastTrxSHA1Hash(char** pVal);
    ECRBRIDGE_API HRESULT CountPurchaseTransaction(int* pVal);
    ECRBRIDGE_API HRESULT CountRefundTransaction(int* pVal);
    ECRBRIDGE_API HRESULT CountVoidTransaction(int* pVal);
    ECRBRIDGE_API HRESULT TotolAmoundPurchaseTransaction(double* pVal);
    ECRBRIDGE_API HRESULT TotolAmoundRefundTransaction(double* pVal);
    ECRBRIDGE_API HRESULT TotolAmoundVoidTransaction(double* pVal);
    ECRBRIDGE_API HRESULT PosGetMultiCurrencyReportByIndex(unsigned char index);

    // Resolves a left-behind operation record from the terminal's journal:
    // an ECRB_OUTCOME_* value, or E_FAIL when the terminal cannot be asked.
    int Recover();
    // The terminal the link reaches ("tcp 10.0.0.5:2000", "serial /dev/ttyS0").
    std::string link_name();

    // ---- the link's owner (link_owner.cpp, link_claim.h) -------------------
    // Claims the link for the calling thread; false while another operation
    // holds it or the object is closing (nothing is waited for).
    bool ClaimLink();
    // Ends this thread's claim; nothing when it has ended already (a payment
    // lets go before its completion callback).
    void ReleaseLink();
    // Raises the interrupt flag (as CancelPurch does) and waits, bounded,
    // until the link is free.  False on the owner's own thread (a callback of
    // the running operation) and when the bound passed.
    bool StopAndWaitForLink();
    // Waits, bounded, until no interrupt or abort call is still inside.
    bool WaitForControls();
    // destroy_object: no new claim from now on.  False (nothing changed) on
    // the thread of the operation that holds the link.
    bool RefuseNewClaims();

    // What another thread may ask of the running payment.
    enum class LinkRequest : uint8_t { None, Interrupt, Abort };
    // Interrupt or abort: posted to a running payment, which runs it on its
    // own link; after an interruptible or abortable operation has ended, run
    // here under a claim like any service call.
    HRESULT RunControl(LinkRequest kind);
    HRESULT PostOrRunControl(LinkRequest kind);

    // ---- the transaction in steps (worker.cpp) -----------------------------
    // How the reading of a payment ended.
    struct Reading {
        int final = 0;               // FinalStep of the last read
        bool deskStopped = false;    // the cash register stopped it (flag or control)
        LinkRequest control = LinkRequest::None;  // the control its owner ran
        bool terminalStopped = false;             // ... and the terminal accepted it
        bool crossed = false;  // final: the terminal's answer to that control
        bool cardNotice = false;  // step 1 of a check-card purchase: a 33 is the card-belonging notice
    };
    // The control exchange itself, on the claimed link; inPayment: the
    // reading of the payment that owns the link and runs it for another
    // thread, null once no operation runs.
    HRESULT ControlExchange(LinkRequest kind, Reading* inPayment);
    // The request; false when the transaction ended there (concluded).
    bool SendRequest(PosHandle* handle, Reading& reading);
    // Reads until the final response, the cash register's stop or the budget's end.
    void ReadUntilFinal(Reading& reading);
    // The owner's check at its wait: a control another thread posted runs here.
    void ServePostedControl(Reading& reading);
    // The one place that decides the result, the outcome and the record of a
    // payment's reading; the last report is set, the caller completes.
    unsigned long Conclude(const Reading& reading);
    // The flag lowered, the link let go, the application told.
    void Finish(unsigned long result);

    // ---- state (plain data; the exported functions and the worker use it) --
    std::mutex m_CallbackLock;
    std::function<void(unsigned long)> m_OnTrxComplete;
    std::function<void(char const*)> m_OnMsgReceived;
    uint16_t m_CardBelong = 0x30;
    // The last StartTransaction was refused because no link is open (it ran
    // no callback); written under the link's claim.
    std::atomic<bool> m_StartNotOpen{false};
    // The running payment's record could not be written (the owner's).
    bool m_NoCrashRecord = false;
    // The running payment is decided: its record goes once the completion
    // callback has returned (the owner's).
    bool m_RecordDecided = false;
    bool m_AuditNew = true;
    uint8_t m_AccountType = 0;
    uint16_t m_PurchTimeout = 40;
    uint16_t m_CurrencyCode = 980;
    // Pending completions: CancelTransaction drops them from any thread.
    std::atomic<bool> m_CardReadPending{false};
    std::atomic<bool> m_DiscountPending{false};
    std::atomic<bool> m_CheckCardPending{false};
    _init_transaction_request m_Param{};
    _ecr_transaction_report m_Report{};
    _ecr_transaction_report m_LastReport{};
    _ecr_mread_report m_MReadReport{};
    std::vector<_ecr_audit_report> m_AuditRecords;
    _ecr_discount_info m_DiscountInfo{};
    _ecr_gsi_report m_GsiReport{};
    std::vector<_service_parameter> m_ServiceParams;
    uint8_t m_ECRNumber = 1;
    uint64_t m_ECRReceiptNumber = 0;
    uint64_t m_RRN = 0;
    uint8_t m_MerchantID = 0;
    uint8_t m_MerchantID5Symbol = 0;
    std::string m_ServiceNumber;
    uint8_t m_NominalNumber = 0;
    std::string m_AuthCode;
    std::string m_HostText;
    bool m_PINRequest = false;
    bool m_EntryMode = false;
    uint32_t m_AuditIndex = 0;  // wide enough for the 10000 records an audit may hold
    CTransport m_Transport;
    std::string m_PrintText;
    std::string m_Version;
    std::atomic<unsigned int> m_State{0};  // read by OnTRX from any thread
    std::mutex m_StateLock;
    // m_LinkLock guards the one owner of the terminal link and what other
    // threads ask of it: which thread holds the link (every exchange runs on
    // that thread only), the operation it runs, a posted control and its
    // answer; and the transport's handle while PosClose frees it, so that a
    // control raising the interrupt flag never touches a freed handle.
    std::mutex m_LinkLock;
    std::condition_variable m_LinkChanged;   // the link let go, a control taken back
    std::thread::id m_LinkOwner;             // none: the link is free
    bool m_LinkClosing = false;              // destroy_object has begun: nothing new starts
    bool m_LinkServes = false;               // the owner is a payment that runs posted controls
    bool m_LinkMsgFlagged = false;           // the payment's terminal flagged a text message
    uint16_t m_LinkOp = 0;                   // operation of m_Param, for the controls' checks
    LinkRequest m_LinkRequest = LinkRequest::None;  // posted, not yet taken back
    bool m_LinkServed = false;               // the owner ran the posted control
    bool m_LinkAnswered = false;             // ... and m_LinkAnswer is its result
    HRESULT m_LinkAnswer = 0;
    int m_LinkControls = 0;                  // interrupt and abort calls not yet returned
    std::string m_UnixTTY;
    char m_InfoText[256] = {};  // text of the last PosGetInfo, handed out by pointer
};
