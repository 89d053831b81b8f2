// Construction, release and version of the ECR object.
#include "VarkoClass2017/VarkoClass2017.h"

#include <cstdio>
#include <cstring>

#include "Logging/log.h"

namespace {
const char kVersion[] = "1.0.1.0";
}

CVarkoClass2017::CVarkoClass2017()
{
    // The field defaults come from the member initialisers of the class.
    std::fputs("configure File\n", stdout);
    std::fflush(stdout);
    ConfigureFile(el::getCurrentTimeString());
    std::fputs("configure File done\n", stdout);
    std::fflush(stdout);
    m_ECRNumber = 1;
    FinalConstruct();
    m_OnTrxComplete = nullptr;
    m_OnMsgReceived = nullptr;
    if (el::get_logging())
        GetLogObject(LOG_TRACE) << "CVarkoClass2017" << " EMPTY callback function";
}

CVarkoClass2017::~CVarkoClass2017()
{
    FinalRelease();
}

HRESULT CVarkoClass2017::FinalConstruct()
{
    el::set_logging(true);
    LOGREC(LOG_INFO) << "####  Creating COM-Object  ####";
    getVersion();
    LOGREC(LOG_INFO) << "Varko2017 K550" << ": DLL Version - " << m_Version;
    LOGREC(LOG_INFO) << "Version [" __DATE__ "] [" __TIME__ "]";
    std::memset(&m_Param, 0, sizeof(m_Param));
    std::memset(&m_Report, 0, sizeof(m_Report));
    std::memset(&m_LastReport, 0, sizeof(m_LastReport));
    std::memset(&m_MReadReport, 0, sizeof(m_MReadReport));
    std::memset(&m_DiscountInfo, 0, sizeof(m_DiscountInfo));
    m_CardBelong = 0x30;
    m_AuditNew = true;
    m_AccountType = 0;
    m_PurchTimeout = 40;
    m_CurrencyCode = 980;
    return 0;
}

void CVarkoClass2017::FinalRelease()
{
    LOGREC(LOG_INFO) << "FinalRelease close";
    m_Transport.Close();
    std::memset(&m_Param, 0, sizeof(m_Param));
    std::memset(&m_Report, 0, sizeof(m_Report));
    std::memset(&m_MReadReport, 0, sizeof(m_MReadReport));
}

void CVarkoClass2017::getVersion()
{
    // Assigned rather than appended: a second FinalConstruct must not grow the
    // text that get_DLLVersion copies into an 8-byte caller buffer.
    m_Version = kVersion;
}

HRESULT CVarkoClass2017::get_DLLVersion(char* pVal)
{
    LOGREC(LOG_INFO) << __func__;
    if (pVal == nullptr)
        return 1;
    std::memcpy(pVal, m_Version.c_str(), m_Version.size() + 1);
    return 0;
}
