// Decoders of the final transaction response and of stored-transaction answers.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

// Both zero the report first and read only len bytes of buf.
ECRBRIDGE_API unsigned int ecr_parse_response(unsigned char* buf, unsigned int len, _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int ecr_parse_response_NP(unsigned char* buf, unsigned int len,
                                                 _ecr_transaction_report* report);
