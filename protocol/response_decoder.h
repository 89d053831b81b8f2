// Decoders of the final transaction response and of stored-transaction answers.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

// Both zero the report first and read only len bytes of buf.
ECRBRIDGE_API unsigned int ecr_parse_response(unsigned char* buf, unsigned int len, _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int ecr_parse_response_NP(unsigned char* buf, unsigned int len,
                                                 _ecr_transaction_report* report);

// A final response as the exchange takes it.  usable: decoded whole, or its
// header, response code and amount decoded and a later field did not fit:
// oversized_field is that field's number after the response code (0 when
// whole); it and the fields after it stay empty in the report.
struct FinalDecode {
    unsigned int status = SE_OK;  // of the decoder
    unsigned int oversized_field = 0;
    bool usable = false;
};
FinalDecode ecr_decode_final(unsigned char* buf, unsigned int len, _ecr_transaction_report* report);
