// Exported functions of the outcome of the last payment and its recovery.
#include <string>

#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/operation_record.h"
#include "VarkoClass2017/outcome.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"

extern "C" {

ECRBRIDGE_API int ecrb_last_outcome(void)
{
    return last_outcome();
}

ECRBRIDGE_API const char* ecrb_last_outcome_reason(void)
{
    return last_outcome_reason();
}

ECRBRIDGE_API int ecrb_recover(void)
{
    return guarded(__func__, [](CVarkoClass2017* ecr) { return ecr->Recover(); });
}

ECRBRIDGE_API int ecrb_set_record_dir(const char* dir)
{
    if (dir == nullptr)
        return E_INVALIDARG;
    try {
        return OperationRecord::SetDir(dir) ? 0 : E_INVALIDARG;
    }
    EXPORT_CATCH(E_FAIL)
}

}  // extern "C"
