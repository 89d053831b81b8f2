// Exported functions that open and close the terminal link.
#include <exception>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/export_guard.h"
#include "ecrbridge/instance.h"

namespace {
// The result of an open that did not take place.
constexpr int kOpenFailed = 1;
}  // namespace

extern "C" {

ECRBRIDGE_API int PosOpen(int port)
{
    try {
        const InstanceUse ecr;
        LOGREC_ALWAYS(LOG_INFO) << "start PosOpen\n";
        unsigned long value = 0;
        HRESULT result = ecr->PosOpen(port, &value);
        LOGREC_ALWAYS(LOG_TRACE) << "v2==[" << result << "][var==[" << value << "}\n";
        return static_cast<int>(value);
    }
    EXPORT_CATCH(kOpenFailed)
}

ECRBRIDGE_API int PosClose(void)
{
    try {
        return InstanceUse()->PosClose();
    }
    EXPORT_CATCH(0)
}

ECRBRIDGE_API int CommOpenTCP(char* address, short port)
{
    if (address == nullptr)
        return -1;
    try {
        return InstanceUse()->CommOpenTCP(address, port);
    }
    EXPORT_CATCH(kOpenFailed)
}

ECRBRIDGE_API int CommClose(void)
{
    try {
        return InstanceUse()->CommClose();
    }
    EXPORT_CATCH(0)
}

}  // extern "C"
