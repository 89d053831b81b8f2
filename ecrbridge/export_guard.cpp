#include "ecrbridge/export_guard.h"

#include "Logging/log.h"

void log_export_exception(const char* function, const char* what) noexcept
{
    try {
        if (el::get_logging())
            GetLogObject(LOG_ERROR) << "[" << function << "] catch [" << what << "]";
    } catch (...) {
    }
}
