// The long exchange of a payment operation.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
// Send the request, wait for its ACK and the first answer, acknowledge it.
ECRBRIDGE_API unsigned int pos_init_transaction(void* handle, _init_transaction_request* request);
// Read one terminal message: SE_MESSAGE for an intermediate one (read again),
// SE_OK once the final response was acknowledged, confirmed and decoded.
ECRBRIDGE_API unsigned int pos_read_transaction_report(void* handle, _ecr_transaction_report* report);
}

// How far a request got: the worker tells "never sent" from "the terminal may
// have started".
enum class RequestStep { NotWritten, Written, Accepted };
struct InitRead {
    unsigned int status;
    RequestStep step;
    bool interrupted;  // the interrupt flag ended the wait (status SE_OK)
};
InitRead init_transaction_step(void* handle, _init_transaction_request* request);

// How far the final response of one read got.  Undecodable: read and
// acknowledged but not understood, so not confirmed (status SE_SYNTAX).
// Decoded: in the report, but its confirmation was not acknowledged.
// Confirmed: the terminal acknowledged the confirmation (status SE_OK).
enum class FinalStep { None, Undecodable, Decoded, Confirmed };
struct ReportRead {
    unsigned int status;
    FinalStep final;
};
ReportRead read_transaction_report_step(void* handle, _ecr_transaction_report* report);
