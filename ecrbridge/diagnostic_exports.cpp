// Exported diagnostics of the terminal link.
#include "ecrbridge.h"
#include "protocol/link_error.h"

extern "C" {

ECRBRIDGE_API int ecrb_last_error_text(char* buf, unsigned size)
{
    return link_error_copy(buf, size);
}

}  // extern "C"
