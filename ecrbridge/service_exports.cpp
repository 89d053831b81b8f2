// Exported service operations: thin forwarders to the ECR object's members,
// run on the caller's thread.
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"
#include "ecrbridge/instance.h"

#define FORWARD(...) return guarded(__func__, [&](CVarkoClass2017* ecr) { return ecr->__VA_ARGS__; })

extern "C" {

ECRBRIDGE_API int PosMagneticRead(char* track) { FORWARD(PosMagneticRead(track)); }

ECRBRIDGE_API int PosDiscountMagneticRead(unsigned char wait, char** track)
{
    FORWARD(PosDiscountMagneticRead(wait, track));
}

ECRBRIDGE_API int PosDiscountInit(char** id) { FORWARD(PosDiscountInit(id)); }

ECRBRIDGE_API int PosAudit(char* selection, char* record) { FORWARD(PosAudit(selection, record)); }

ECRBRIDGE_API int PosGetNameSoftware(char* name)
{
    if (name == nullptr)
        return ECR_E_NULL_POINTER;
    FORWARD(PosGetNameSoftware(name));
}

ECRBRIDGE_API int PosTSN(char* serial) { FORWARD(PosTSN(serial)); }

ECRBRIDGE_API int PosGTC(unsigned char index, unsigned long* count) { FORWARD(PosGTC(index, count)); }

ECRBRIDGE_API int PosGTS(unsigned char index, unsigned long sequence) { FORWARD(PosGTS(index, sequence)); }

ECRBRIDGE_API int PosGTL(unsigned char index) { FORWARD(PosGTL(index)); }

ECRBRIDGE_API int PosGTI(unsigned char index, long invoice) { FORWARD(PosGTI(index, invoice)); }

ECRBRIDGE_API int PosGSI(int index) { FORWARD(PosGSI(index)); }

ECRBRIDGE_API int PosPrintXReport(void) { FORWARD(PosPrintXReport()); }

}  // extern "C"
