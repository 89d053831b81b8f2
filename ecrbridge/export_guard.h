// No exception leaves an exported function: the boundary of every export
// catches it, writes one log record and answers with the export's failure
// result.
#pragma once
#include <exception>

#include "ecrbridge.h"
#include "ecrbridge/instance.h"

class CVarkoClass2017;

// The record "[function] catch [what]" (LOG_ERROR, while logging is on).
void log_export_exception(const char* function, const char* what) noexcept;

// Runs a forwarder on the ECR object; an exception gives E_FAIL.
template <typename F>
int guarded(const char* function, F&& call) noexcept
{
    try {
        const InstanceUse use;
        return call(use.get());
    } catch (const std::exception& e) {
        log_export_exception(function, e.what());
    } catch (...) {
        log_export_exception(function, "...");
    }
    return E_FAIL;
}

// The catch clauses of an export whose body is a try block: log, then return
// the given failure result.
#define EXPORT_CATCH(result)                         \
    catch (const std::exception& e)                  \
    {                                                \
        log_export_exception(__func__, e.what());    \
        return result;                               \
    }                                                \
    catch (...)                                      \
    {                                                \
        log_export_exception(__func__, "...");       \
        return result;                               \
    }
