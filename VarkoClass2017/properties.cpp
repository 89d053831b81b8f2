// Connection and operation properties of the ECR object, the logging
// switches, the request record filled from the properties and the
// service-parameter list.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/caller_text.h"
#include "VarkoClass2017/operation_record.h"

// Every member the application calls starts with a record naming itself.
#define LOG_MEMBER() LOGREC(LOG_INFO) << __func__

namespace {
constexpr uint8_t kMaxMerchantID = 99;
constexpr uint16_t kMaxCurrencyCode = 999;
constexpr uint16_t kDefaultCurrencyCode = 980;
constexpr unsigned long long kMaxRRN = 999999999999ULL;          // twelve digits
constexpr unsigned long long kMaxReceiptNumber = 9999999999ULL;  // ten digits
constexpr uint8_t kMaxNominalNumber = 9;
constexpr size_t kMaxServiceNumber = 3;
constexpr size_t kMaxHostText = 600;
constexpr size_t kMaxAuthCode = 6;
constexpr size_t kMaxIPText = 15;      // dotted IPv4 "255.255.255.255"
constexpr size_t kMaxTTYPath = 255;
constexpr unsigned short kDefaultPort = 2000;
constexpr size_t kServiceParamCount = 16;
constexpr size_t kServiceParamWidth = sizeof(_service_parameter::text);

// Copy a text with its terminator into a caller buffer of at least text.size() + 1 bytes.
void copy_out(char* dst, const std::string& text)
{
    std::memcpy(dst, text.c_str(), text.size() + 1);
}
}  // namespace

HRESULT SetupErrorInfo(long code)
{
    return code != 0 ? E_FAIL : 0;
}

// ---- ECR number -----------------------------------------------------------

HRESULT CVarkoClass2017::get_ECRNumber(unsigned char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_ECRNumber;
    return 0;
}

HRESULT CVarkoClass2017::put_ECRNumber(unsigned char newVal)
{
    LOG_MEMBER();
    m_ECRNumber = newVal;
    return 0;
}

// ---- merchant index and symbol --------------------------------------------

HRESULT CVarkoClass2017::get_MerchantID(unsigned char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_MerchantID;
    return 0;
}

HRESULT CVarkoClass2017::put_MerchantID(unsigned char newVal)
{
    LOG_MEMBER();
    if (newVal > kMaxMerchantID)
        return E_INVALIDARG;
    m_MerchantID = newVal;
    return 0;
}

HRESULT CVarkoClass2017::get_MerchantID5Symbol(unsigned char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_MerchantID5Symbol;
    return 0;
}

HRESULT CVarkoClass2017::put_MerchantID5Symbol(unsigned char newVal)
{
    LOG_MEMBER();
    const bool digit = newVal >= '0' && newVal <= '9';
    const bool letter = newVal >= 'A' && newVal <= 'Z';
    if (!digit && !letter && newVal != 0)
        return E_INVALIDARG;
    m_MerchantID5Symbol = newVal;
    return 0;
}

// ---- currency, RRN, receipt number ----------------------------------------

HRESULT CVarkoClass2017::get_CurrencyCode(unsigned short* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_CurrencyCode;
    return 0;
}

HRESULT CVarkoClass2017::put_CurrencyCode(unsigned short newVal)
{
    LOG_MEMBER();
    m_CurrencyCode = newVal > kMaxCurrencyCode ? kDefaultCurrencyCode : newVal;
    return 0;
}

HRESULT CVarkoClass2017::get_RRN(unsigned long long* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_RRN;
    return 0;
}

HRESULT CVarkoClass2017::put_RRN(unsigned long long newVal)
{
    LOG_MEMBER();
    if (newVal > kMaxRRN)
        return E_INVALIDARG;
    m_RRN = newVal;
    return 0;
}

HRESULT CVarkoClass2017::get_ECRReceiptNumber(unsigned long long* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_ECRReceiptNumber;
    return 0;
}

HRESULT CVarkoClass2017::put_ECRReceiptNumber(unsigned long long newVal)
{
    LOG_MEMBER();
    if (newVal > kMaxReceiptNumber)
        return E_INVALIDARG;
    m_ECRReceiptNumber = newVal;
    return 0;
}

// ---- service number, nominal number, host text ----------------------------

HRESULT CVarkoClass2017::get_ServiceNumber(char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr) {
        LOGREC(LOG_INFO) << " pVal == NULL";
        return 1;
    }
    copy_out(pVal, m_ServiceNumber);  // at most 3 characters and the terminator
    return 0;
}

HRESULT CVarkoClass2017::put_ServiceNumber(char* newVal)
{
    LOG_MEMBER();
    if (newVal == nullptr)
        return 1;
    const size_t len = strnlen(newVal, kMaxServiceNumber + 1);
    if (len > kMaxServiceNumber || has_link_byte(newVal, len))
        return E_INVALIDARG;
    m_ServiceNumber.assign(newVal, len);
    return 0;
}

HRESULT CVarkoClass2017::get_NominalNumber(unsigned char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_NominalNumber;
    return 0;
}

HRESULT CVarkoClass2017::put_NominalNumber(unsigned char newVal)
{
    LOG_MEMBER();
    if (newVal > kMaxNominalNumber)
        return E_INVALIDARG;
    m_NominalNumber = newVal;
    return 0;
}

HRESULT CVarkoClass2017::get_HostText(char** pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_HostText.data();  // owned by the object, valid until the next put_HostText
    return 0;
}

HRESULT CVarkoClass2017::put_HostText(char* newVal)
{
    LOG_MEMBER();
    if (newVal == nullptr)
        return 1;
    const size_t len = strnlen(newVal, kMaxHostText + 1);
    if (len > kMaxHostText || has_link_byte(newVal, len))
        return E_INVALIDARG;
    m_HostText.assign(newVal, len);
    return 0;
}

// ---- PIN request and entry mode: -1 is on, anything else off ---------------

HRESULT CVarkoClass2017::get_PINRequest(short* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_PINRequest ? -1 : 0;
    return 0;
}

HRESULT CVarkoClass2017::put_PINRequest(short newVal)
{
    LOG_MEMBER();
    m_PINRequest = newVal == -1;
    return 0;
}

HRESULT CVarkoClass2017::get_EntryMode(short* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = m_EntryMode ? -1 : 0;
    return 0;
}

HRESULT CVarkoClass2017::put_EntryMode(short newVal)
{
    LOG_MEMBER();
    m_EntryMode = newVal == -1;
    return 0;
}

// ---- connection settings --------------------------------------------------

HRESULT CVarkoClass2017::get_PosIP(char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 0;
    const std::string ip = m_Transport.GetRemoteIP();
    copy_out(pVal, ip.empty() ? std::string("EMPTY") : ip);
    return 0;
}

HRESULT CVarkoClass2017::put_PosIP(char* newVal)
{
    LOG_MEMBER();
    if (newVal == nullptr)
        return 1;
    // A dotted IPv4 address has at most 15 characters; anything longer could
    // not be handed back through get_PosIP's 16-byte buffer.
    const size_t len = strnlen(newVal, kMaxIPText + 1);
    if (len > kMaxIPText)
        return E_INVALIDARG;
    m_Transport.SetRemoteIP(std::string(newVal, len));
    return 0;
}

HRESULT CVarkoClass2017::get_PosPort(unsigned short* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 0;
    *pVal = static_cast<unsigned short>(m_Transport.GetRemotePort());
    return 0;
}

HRESULT CVarkoClass2017::put_PosPort(unsigned short newVal)
{
    LOG_MEMBER();
    m_Transport.SetRemotePort(newVal == 0 ? kDefaultPort : newVal);
    return 0;
}

HRESULT CVarkoClass2017::get_TransportType(short* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 0;
    *pVal = static_cast<short>(m_Transport.GetType());
    return 0;
}

HRESULT CVarkoClass2017::put_TransportType(short newVal)
{
    LOG_MEMBER();
    if (newVal > TT_TCP)
        return 1;
    if (newVal == TT_COM)
        m_Transport.SetType(TT_COM);
    else if (newVal == TT_UDP)
        m_Transport.SetType(TT_UDP);
    else
        m_Transport.SetType(TT_TCP);  // 2 and every negative value
    return 0;
}

HRESULT CVarkoClass2017::get_ECRIP(char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    copy_out(pVal, m_Transport.GetBindIP());
    return 0;
}

HRESULT CVarkoClass2017::put_ECRIP(char* newVal)
{
    LOG_MEMBER();
    if (newVal == nullptr)
        return 1;
    const size_t len = strnlen(newVal, kMaxIPText + 1);
    if (len > kMaxIPText)
        return E_INVALIDARG;
    m_Transport.SetBindIP(std::string(newVal, len));
    return 0;
}

HRESULT CVarkoClass2017::get_ECRPort(unsigned short* pVal)
{
    LOG_MEMBER();
    return 0;  // the bind port is not reported; the output stays as it was
}

HRESULT CVarkoClass2017::put_ECRPort(unsigned short newVal)
{
    LOG_MEMBER();
    m_Transport.SetBindPort(newVal == 0 ? kDefaultPort : newVal);
    return 0;
}

HRESULT CVarkoClass2017::get_UnixTTY(char* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    copy_out(pVal, m_UnixTTY);
    LOGREC(LOG_INFO) << ": TTY  - [" << m_UnixTTY << "]\n";
    return 0;
}

HRESULT CVarkoClass2017::put_UnixTTY(char* newVal)
{
    LOG_MEMBER();
    if (newVal == nullptr)
        return 1;
    const size_t len = strnlen(newVal, kMaxTTYPath + 1);
    if (len > kMaxTTYPath)
        return E_INVALIDARG;
    m_UnixTTY.assign(newVal, len);
    LOGREC(LOG_INFO) << "PutTTY <<[" << m_UnixTTY << "]\n";
    return 0;
}

// ---- logging switches -----------------------------------------------------

HRESULT CVarkoClass2017::put_EcrLogging(short newVal)
{
    LOG_MEMBER();
    LOGREC_ALWAYS(LOG_INFO) << "Loging Status " << (newVal != 0 ? "ON" : "OFF");
    el::set_logging(newVal != 0);
    if (newVal == 0)
        CloseLog();
    else
        ConfigureFile(el::getCurrentTimeString());
    return 0;
}

HRESULT CVarkoClass2017::get_EcrLoging(short* pVal)
{
    LOG_MEMBER();
    if (pVal == nullptr)
        return 1;
    *pVal = el::get_logging() ? 1 : 0;
    return 0;
}

HRESULT CVarkoClass2017::put_EcrLogingPath(const char* path)
{
    LOG_MEMBER();
    if (path == nullptr)
        return 1;
    const std::string dir(path);
    LOGREC(LOG_INFO) << "PATH" << dir;
    std::fputs(dir.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    ConfigureFile(dir + "/" + el::getCurrentTimeString());  // a failed open still returns 0
    OperationRecord::SetDefaultDir(dir);
    return 0;
}

// ---- records --------------------------------------------------------------

_init_transaction_request* CVarkoClass2017::GetParam()
{
    return &m_Param;
}

_ecr_transaction_report* CVarkoClass2017::GetReport()
{
    return &m_Report;
}

_ecr_transaction_report* CVarkoClass2017::GetLastReport()
{
    return &m_LastReport;
}

PosHandle* CVarkoClass2017::GetPosHandle()
{
    return m_Transport.GetHandle();
}

void CVarkoClass2017::ApplyProperties()
{
    LOG_MEMBER();
    m_Param.currency_code = m_CurrencyCode;
    m_Param.merchant_id = m_MerchantID;
    if (m_ServiceNumber.size() == sizeof(m_Param.service_number))
        std::memcpy(m_Param.service_number, m_ServiceNumber.data(), sizeof(m_Param.service_number));
    m_Param.ecr_num = m_ECRNumber;
    m_Param.ecr_receipt_num = m_ECRReceiptNumber;
    if (!m_AuthCode.empty()) {
        // Not terminated: a six-character code fills the field.
        std::memset(m_Param.auth_code, 0, sizeof(m_Param.auth_code));
        std::memcpy(m_Param.auth_code, m_AuthCode.data(), std::min(m_AuthCode.size(), kMaxAuthCode));
    }
    if (!m_HostText.empty()) {
        const size_t n = std::min(m_HostText.size(), kMaxHostText);
        std::memcpy(m_Param.host_text, m_HostText.data(), n);
        m_Param.host_text[n] = '\0';
    }
    if (!m_PrintText.empty()) {
        const size_t n = std::min(m_PrintText.size(), sizeof(m_Param.print_text) - 1);
        std::memcpy(m_Param.print_text, m_PrintText.data(), n);
        m_Param.print_text[n] = '\0';
    }
    if (m_RRN != 0) {
        // Twelve digits without a terminator.  The setter keeps the property
        // within twelve digits; the copy is bounded by the field in any case.
        char digits[24];
        std::snprintf(digits, sizeof(digits), "%012llu", static_cast<unsigned long long>(m_RRN));
        std::memcpy(m_Param.rrn, digits, sizeof(m_Param.rrn));
    }
    m_Param.pin_request = m_PINRequest;
    m_Param.entry_mode = m_EntryMode;
    m_Param.merchant_id5_symbol = m_MerchantID5Symbol;
    if (!m_ServiceParams.empty()) {
        const size_t n = std::min(m_ServiceParams.size(), kServiceParamCount);
        std::memcpy(m_Param.service_params, m_ServiceParams.data(), n * sizeof(_service_parameter));
    }
    m_Param.nominal_number = m_NominalNumber;
}

HRESULT CVarkoClass2017::PrepareParameters(char* text)
{
    LOG_MEMBER();
    m_ServiceParams.clear();
    if (text == nullptr || has_link_byte(text))
        return E_INVALIDARG;
    const char* pos = text;
    for (;;) {
        const char* slash = std::strchr(pos, '/');
        const size_t len = slash != nullptr ? static_cast<size_t>(slash - pos) : std::strlen(pos);
        if (len > kServiceParamWidth)
            return E_INVALIDARG;  // the pieces parsed so far stay
        _service_parameter param{};
        std::memcpy(param.text, pos, len);
        param.separator = 0x1C;
        m_ServiceParams.push_back(param);
        if (slash == nullptr)
            break;
        pos = slash + 1;
    }
    return m_ServiceParams.size() == kServiceParamCount ? 0 : E_INVALIDARG;
}
