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
