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
        // From inside its own operation (a callback) the object cannot be
        // freed: the operation still runs on it.
        if (OperationThread::on_operation_thread() || object->InsideOwnOperation()) {
            LOGREC(LOG_ERROR) << " called from inside an operation, nothing freed";
            return;
        }
        // A running payment is stopped as by CancelTransaction and waited
        // for; an operation that has not yet begun is refused its start.
        object->m_Closing.store(true);
        object->StopAndWaitForLink();
        TheOperationThread().wait_idle();
        object->StopAndWaitForLink();
        ResetInstanse(object);
        delete object;
    }
    EXPORT_CATCH()
}

ECRBRIDGE_API void OnTrxComplete(EcrTrxCompleteCallback callback)
{
    try {
        CVarkoClass2017* ecr = GetInstanse();
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
        CVarkoClass2017* ecr = GetInstanse();
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
        return static_cast<int>(GetInstanse()->m_State.load());
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int get_DLLVersion(char* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    try {
        return GetInstanse()->get_DLLVersion(pVal);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int put_EcrLogging(unsigned char on)
{
    try {
        return GetInstanse()->put_EcrLogging(on != 0 ? 1 : 0);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int get_EcrLoging(short* pVal)
{
    if (pVal == nullptr)
        return ECR_E_NULL_POINTER;
    try {
        return GetInstanse()->get_EcrLoging(pVal);
    }
    EXPORT_CATCH(E_FAIL)
}

ECRBRIDGE_API int put_EcrLogingPath(char const* path)
{
    try {
        return GetInstanse()->put_EcrLogingPath(path);  // 1 for a null path
    }
    EXPORT_CATCH(E_FAIL)
}

}  // extern "C"
