// Plain C names (prefix ecrb_) of the exports that otherwise exist only under
// their C++ names, so that a C program or any language's foreign-function
// interface can reach them by an ordinary name.  Each forwards to the C++
// export of the same name, which already keeps every exception inside the
// library; the C++ names stay exported unchanged.
#include "ecrbridge.h"

extern "C" {

ECRBRIDGE_API CVarkoClass2017* ecrb_create_object(void) { return create_object(); }
ECRBRIDGE_API void ecrb_destroy_object(CVarkoClass2017* object) { destroy_object(object); }
ECRBRIDGE_API void ecrb_OnTrxComplete(EcrTrxCompleteCallback callback) { OnTrxComplete(callback); }
ECRBRIDGE_API void ecrb_OnMsgReceived(EcrMsgReceivedCallback callback) { OnMsgReceived(callback); }

ECRBRIDGE_API void ecrb_PosCashBack(double amount, double cashBackAmount) { PosCashBack(amount, cashBackAmount); }
ECRBRIDGE_API void ecrb_Auth(double amount, double addAmount) { Auth(amount, addAmount); }
ECRBRIDGE_API void ecrb_PosAuthFin(double amount, double addAmount) { PosAuthFin(amount, addAmount); }
ECRBRIDGE_API void ecrb_PurchaseCheckCard(double amount, double addAmount, unsigned long* pResult)
{
    PurchaseCheckCard(amount, addAmount, pResult);
}
ECRBRIDGE_API void ecrb_PosPrintMessage(char* text) { PosPrintMessage(text); }
ECRBRIDGE_API int ecrb_CancelTransaction(void) { return CancelTransaction(); }
ECRBRIDGE_API int ecrb_PurchaseCheckCardCompleteTran(int complete, unsigned long* pResult)
{
    return PurchaseCheckCardCompleteTran(complete != 0, pResult);
}

ECRBRIDGE_API int ecrb_TotolAmoundPurchaseTransaction(double* pVal) { return TotolAmoundPurchaseTransaction(pVal); }
ECRBRIDGE_API int ecrb_TotolAmoundRefundTransaction(double* pVal) { return TotolAmoundRefundTransaction(pVal); }
ECRBRIDGE_API int ecrb_TotolAmoundVoidTransaction(double* pVal) { return TotolAmoundVoidTransaction(pVal); }

}  // extern "C"
