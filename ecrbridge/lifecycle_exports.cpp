// Exported functions of the instance lifecycle, the callbacks, the state word,
// the version and the logging switches.
#include <exception>
#include <mutex>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"
#include "ecrbridge/instance.h"
#include "ecrbridge/operation_thread.h"

// ---- mangled ----------------------------------------------------------------

ECRBRIDGE_API CVarkoClass2017* create_object()
{
    try {
        return GetInstanse();
    }
    EXPORT_CATCH(nullptr)
}

ECRBRIDGE_API void destroy_object(CVarkoClass2017* object)
{
    if (object == nullptr)
        return;
    try {
        // From inside an operation (a callback) the object cannot be freed:
        // the operation still runs on it.
        if (OperationThread::on_operation_thread() || ThreadUsesInstance()) {
            LOGREC(LOG_ERROR) << " called from inside an operation, nothing freed";
            return;
        }
        static std::mutex destroying;
        const std::lock_guard<std::mutex> one_at_a_time(destroying);
        // A pointer that is not the instance (freed already) is not touched.
        switch (RetireInstance(object)) {
        case RetireResult::NotInstance:
            LOGREC(LOG_ERROR) << " not the library's object, nothing freed";
            return;
        case RetireResult::InUse:
            LOGREC(LOG_ERROR) << " called from inside an operation, nothing freed";
            return;
        case RetireResult::Retired:
            break;
        }
        // A running payment is stopped as by CancelTransaction and waited
        // for; then every exported call still on the object, the operation
        // thread and an interrupt or abort still waiting are waited for.
        // An owner that does not let go within the bound keeps the object: it
        // is left allocated rather than freed under a running exchange.
        const bool stopped = object->StopAndWaitForLink();
        WaitRetiredUnused();
        TheOperationThread().wait_idle();
        if (!object->StopAndWaitForLink() || !stopped || !object->WaitForControls()) {
            LOGREC(LOG_ERROR) << " the link was not let go in time, nothing freed";
            return;
        }
        delete object;
    }
    EXPORT_CATCH()
}

ECRBRIDGE_API void OnTrxComplete(EcrTrxCompleteCallback callback)
{
    try {
        const InstanceUse ecr;
        std::lock_guard<std::mutex> lock(ecr->m_CallbackLock);
        if (callback != nullptr)
            ecr->m_OnTrxComplete = callback;
        else
            ecr->m_OnTrxComplete = nullptr;
    }
    EXPORT_CATCH()
}

ECRBRIDGE_API void OnMsgReceived(EcrMsgReceivedCallback callback)
{
    try {
        const InstanceUse ecr;
        std::lock_guard<std::mutex> lock(ecr->m_CallbackLock);
        if (callback != nullptr)
            ecr->m_OnMsgReceived = callback;
        else
            ecr->m_OnMsgReceived = nullptr;
    }
    EXPORT_CATCH()
}

// ---- plain ------------------------------------------------------------------

extern "C" {

ECRBRIDGE_API int OnTRX()
{
    try {
        return static_cast<int>(InstanceUse()->m_State.load());
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int get_DLLVersion(char* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    try {
        return InstanceUse()->get_DLLVersion(pVal);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int put_EcrLogging(unsigned char on)
{
    try {
        return InstanceUse()->put_EcrLogging(on != 0 ? 1 : 0);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int get_EcrLoging(short* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    try {
        return InstanceUse()->get_EcrLoging(pVal);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int put_EcrLogingPath(char const* path)
{
    try {
        return InstanceUse()->put_EcrLogingPath(path);  // 1 for a null path
    }
    EXPORT_CATCH(E_FAIL)
}

}  // extern "C"
