// Encoder of the request that starts a payment operation.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

// Encode req into buf (16384 bytes, zeroed first except for PNG); *len gets
// the message length.  SE_OK, SE_PARAM, SE_SYNTAX or SE_FORMAT.  Clears
// req->merchant_id5_symbol once the common layout has sent it.
ECRBRIDGE_API unsigned int ecr_build_init_transaction(unsigned char* buf, unsigned int* len,
                                                      _init_transaction_request* req);
