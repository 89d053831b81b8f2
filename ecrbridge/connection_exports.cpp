// Exported functions that open and close the terminal link.
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"

namespace {
// No exception leaves an exported function: it is logged and the export
// returns its failure result.
void log_exception(const char* function, const std::exception* e)
{
    try {
        if (el::get_logging())
            GetLogObject(LOG_ERROR) << "[" << function << "] catch [" << (e != nullptr ? e->what() : "...") << "]";
    } catch (...) {
    }
}
// The result of an open that did not take place.
constexpr int kOpenFailed = 1;
}  // namespace

#define CONNECTION_CATCH(result)          \
    catch (const std::exception& e)       \
    {                                     \
        log_exception(__func__, &e);      \
        return result;                    \
    }                                     \
    catch (...)                           \
    {                                     \
        log_exception(__func__, nullptr); \
        return result;                    \
    }

extern "C" {

ECRBRIDGE_API int PosOpen(int port)
{
    try {
        CVarkoClass2017* ecr = GetInstanse();
        LOGREC_ALWAYS(LOG_INFO) << "start PosOpen\n";
        unsigned long value = 0;
        HRESULT result = ecr->PosOpen(port, &value);
        LOGREC_ALWAYS(LOG_TRACE) << "v2==[" << result << "][var==[" << value << "}\n";
        return static_cast<int>(value);
    }
    CONNECTION_CATCH(kOpenFailed)
}

ECRBRIDGE_API int PosClose(void)
{
    try {
        return GetInstanse()->PosClose();
    }
    CONNECTION_CATCH(0)
}

ECRBRIDGE_API int CommOpenTCP(char* address, short port)
{
    if (address == nullptr)
        return -1;
    try {
        return GetInstanse()->CommOpenTCP(address, port);
    }
    CONNECTION_CATCH(kOpenFailed)
}

ECRBRIDGE_API int CommClose(void)
{
    try {
        return GetInstanse()->CommClose();
    }
    CONNECTION_CATCH(0)
}

}  // extern "C"
