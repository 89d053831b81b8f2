// Exported property accessors: a null-pointer test, then the ECR object's
// member of the same name.
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"
#include "ecrbridge/instance.h"

// A getter or text setter: -1 for a null pointer without touching the object.
#define FORWARD_PTR(member, arg)                                                           \
    if ((arg) == nullptr)                                                                  \
        return ECR_E_NULL_POINTER;                                                         \
    return guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->member(arg); })
// A value setter.
#define FORWARD_VAL(member, arg) \
    return guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->member(arg); })

extern "C" {

ECRBRIDGE_API int get_MerchantID(unsigned char* pVal) { FORWARD_PTR(get_MerchantID, pVal); }
ECRBRIDGE_API int put_MerchantID(unsigned char newVal) { FORWARD_VAL(put_MerchantID, newVal); }

ECRBRIDGE_API int get_RRN(unsigned long long* pVal) { FORWARD_PTR(get_RRN, pVal); }
ECRBRIDGE_API int put_RRN(unsigned long long newVal) { FORWARD_VAL(put_RRN, newVal); }

ECRBRIDGE_API int get_ServiceNumber(char* pVal) { FORWARD_PTR(get_ServiceNumber, pVal); }
ECRBRIDGE_API int put_ServiceNumber(char* newVal) { FORWARD_PTR(put_ServiceNumber, newVal); }

ECRBRIDGE_API int get_ECRReceiptNumber(unsigned long long* pVal) { FORWARD_PTR(get_ECRReceiptNumber, pVal); }
ECRBRIDGE_API int put_ECRReceiptNumber(unsigned long long newVal) { FORWARD_VAL(put_ECRReceiptNumber, newVal); }

ECRBRIDGE_API int get_EntryMode(short* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    return guarded(__func__, [&](CVarkoClass2017* ecr) {
        short on = 0;
        const int result = ecr->get_EntryMode(&on);
        *pVal = on != 0 ? -1 : 0;
        return result;
    });
}

ECRBRIDGE_API int put_EntryMode(unsigned char flag)
{
    const short value = flag != 0 ? -1 : 0;
    FORWARD_VAL(put_EntryMode, value);
}

ECRBRIDGE_API int get_PosIP(char* pVal) { FORWARD_PTR(get_PosIP, pVal); }
ECRBRIDGE_API int put_PosIP(char* newVal) { FORWARD_PTR(put_PosIP, newVal); }

ECRBRIDGE_API int get_PosPort(unsigned short* pVal) { FORWARD_PTR(get_PosPort, pVal); }
ECRBRIDGE_API int put_PosPort(unsigned short newVal) { FORWARD_VAL(put_PosPort, newVal); }

ECRBRIDGE_API int get_TransportType(short* pVal) { FORWARD_PTR(get_TransportType, pVal); }
ECRBRIDGE_API int put_TransportType(short newVal) { FORWARD_VAL(put_TransportType, newVal); }

ECRBRIDGE_API int get_ECRIP(char* pVal) { FORWARD_PTR(get_ECRIP, pVal); }
ECRBRIDGE_API int put_ECRIP(char* newVal) { FORWARD_PTR(put_ECRIP, newVal); }

ECRBRIDGE_API int get_ECRPort(unsigned short* pVal) { FORWARD_PTR(get_ECRPort, pVal); }
ECRBRIDGE_API int put_ECRPort(unsigned short newVal) { FORWARD_VAL(put_ECRPort, newVal); }

ECRBRIDGE_API int get_CurrencyCode(unsigned short* pVal) { FORWARD_PTR(get_CurrencyCode, pVal); }
ECRBRIDGE_API int put_CurrencyCode(unsigned short newVal) { FORWARD_VAL(put_CurrencyCode, newVal); }

ECRBRIDGE_API int get_UnixTTY(char* pVal) { FORWARD_PTR(get_UnixTTY, pVal); }
ECRBRIDGE_API int put_UnixTTY(char* newVal) { FORWARD_PTR(put_UnixTTY, newVal); }

}  // extern "C"
