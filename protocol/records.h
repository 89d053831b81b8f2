// Plain records exchanged between the ECR object and the terminal protocol.
// Field order and widths are fixed: the records are zeroed with memset and
// copied as a whole, and text fields are read up to their terminator or their
// declared width, whichever comes first.
#pragma once
#include <cstdint>

// One service parameter: 16 characters zero-padded, then 0x1C.
struct _service_parameter {
    char text[16];
    char separator;  // 0x1C
};
static_assert(sizeof(_service_parameter) == 17, "service parameter is 17 bytes");

// Request of a payment operation, filled by the ECR object, read by the encoder.
struct _init_transaction_request {
    uint16_t trx_type;             // operation code
    uint16_t ecr_num;              // 0..99
    uint64_t ecr_receipt_num;      // 0..9999999999
    double amount;                 // currency units
    double add_amount;             // currency units, 0..9999999999.99
    uint16_t currency_code;        // 0..999
    char digits6[7];
    char card_track1[80];
    char card_track2[41];
    char card_track3[108];
    char digits3[4];
    uint8_t merchant_id;           // 0..99
    char host_text[601];
    char invoice_num[7];           // empty or six digits
    uint16_t discount_req_type;    // 0..99
    uint16_t complete_type;        // 1..3
    char rrn[12];                  // twelve digits or all zero bytes, not terminated
    char auth_code[6];             // not terminated
    char loyalty_ref[7];
    uint8_t merchant_id5_symbol;   // a character or 0
    int32_t loyalty_number;        // 0..999999
    char service_number[3];        // 3 characters or zero bytes, not terminated
    uint8_t nominal_number;        // 0..9
    bool entry_mode;
    bool pin_request;
    _service_parameter service_params[16];
    char print_text[1001];
};

// One block of a multi-currency settlement report.
struct CurrencyReport {
    uint16_t CurrencyCode;
    double Amount;
    double DebitsAmount;
    double DebitsCommissionAmount;
    double AddAmount;
    double CreditsAmount;
    double CreditsCommissionAmount;
    double TotalAmount;
    uint16_t SalesCount;
    uint16_t RefundsCount;
    uint16_t TotalTrxCount;
};

// Report of a payment operation (and of a stored-transaction query).
struct _ecr_transaction_report {
    uint16_t TrxType;
    char OpTag[4];
    uint16_t ResponseCode;
    uint16_t EcrNum;
    uint32_t EcrReceiptNum;
    double Amount;
    double AddAmount;
    uint32_t ProcessingCode;
    uint16_t PosEntryMode;
    uint16_t PosConditionCode;
    uint32_t InvoceNumber;
    uint8_t CardExpireYear;
    uint8_t CardExpireMonth;
    uint8_t TransactionDateDay;
    uint8_t TransactionDateMonth;
    uint8_t TransactionTimeHours;
    uint8_t TransactionTimeMinutes;
    uint16_t CaptureReference;
    char PAN[20];
    char ExpiryText[80];
    char CardText[41];
    char Track3[109];
    char IssuerName[9];
    char MerchantId[16];
    char ApprovalCode[7];
    char RRN[13];
    char CardName[27];
    char TerminalID[9];
    double TotalAmount;
    uint16_t SalesCount;
    uint16_t RefundsCount;
    uint16_t TotalTrxCount;
    uint32_t BatchId;
    char LoyalOperDate[7];
    char LoyalGiftCode[6];
    uint16_t LoyalGiftCount;
    char Fld63Sf89[999];    // may be full without terminator
    char NameBank[20];      // may be full without terminator (CP1251)
    char Receipt[2048];     // may be full without terminator (CP1251)
    uint8_t BankLogo[8192];
    uint8_t SignatureLogo[8192];
    uint32_t BankLogoSize;
    uint32_t SignatureLogoSize;
    char MsgText[50];       // last "SMS" text, always terminated
    char PinResult[6];      // not terminated when 6 long
    char RNK[32];           // may be full without terminator
    char ProductCode[32];   // may be full without terminator
    uint16_t CurrencyCode;
    CurrencyReport CurrencyReports[6];
    double DebitsAmount;
    double DebitsCommissionAmount;
    double CreditsAmount;
    double CreditsCommissionAmount;
    uint8_t MsgFlag;
};

// Result of a card read, discount card read or card-group request.
struct _ecr_mread_report {
    uint16_t operation;     // 3 CRD, 4 DSC, 29 DCR, 31 GRC, 33 ACR; 0 when not set
    char message_code[3];
    char track1[100];
    char track2[100];
    char track3[110];
    char nameGroup[64];
    char sha1hash[101];
};

// Discount information ("DIN" answer).
struct _ecr_discount_info {
    uint16_t operation;     // 4 for "DIN"
    char message_code[3];
    uint8_t merchant_id;
    char merchant_name[22];
    double rate;
    char info[28];
};

// Summary of stored transactions ("GSI" answer).
struct _ecr_gsi_report {
    uint32_t count1;   // purchases
    double amount1;
    uint32_t count2;   // refunds
    double amount2;
    uint32_t count3;   // voids
    double amount3;
};

// One audit record; fixed-width characters without terminators.
struct _ecr_audit_report {
    char more[1];
    char record_number[4];
    char record_count[4];
    char item1[6];
    char item2[20];
    char item3[6];
    char item4[12];
    char item5[12];
    char item6[1];
    char item7[2];
    char item8[4];
    char item9[6];
};
static_assert(sizeof(_ecr_audit_report) == 78, "audit record is 78 bytes");

// Kind of terminal information asked for (1 "INF", 2 "INM", other "GNS").
enum tagGetInfoType : int32_t { GIT_NAME_SOFTWARE = 0, GIT_INF = 1, GIT_INM = 2 };
