#include "protocol/status.h"

const char* se_name(unsigned int status)
{
    switch (status) {
    case SE_OK: return "SE_OK";
    case SE_FAIL: return "SE_FAIL";
    case SE_NOMEM: return "SE_NOMEM";
    case SE_PARAM: return "SE_PARAM";
    case SE_NOTOPEN: return "SE_NOTOPEN";
    case SE_OPEN: return "SE_OPEN";
    case SE_READ: return "SE_READ";
    case SE_WRITE: return "SE_WRITE";
    case SE_EXEC: return "SE_EXEC";
    case SE_SYNTAX: return "SE_SYNTAX";
    case SE_EMPTY: return "SE_EMPTY";
    case SE_NODATA: return "SE_NODATA";
    case SE_FORMAT: return "SE_FORMAT";
    case SE_SIZE: return "SE_SIZE";
    case SE_MESSAGE: return "SE_MESSAGE";
    case SE_NOCARD: return "SE_NOCARD";
    case SE_REPLY2: return "SE_REPLY2";
    case SE_REPLY3: return "SE_REPLY3";
    }
    return "SE_UNKNOWN";
}
