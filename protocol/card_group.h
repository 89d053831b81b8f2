// Card group request ("GGP" / "GRC") and its cancellation ("CNL").
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
ECRBRIDGE_API unsigned int pos_get_group(void* handle, _ecr_mread_report* report, const char* code);
ECRBRIDGE_API unsigned int pos_cancel_get_group_completion(void* handle);
}
ECRBRIDGE_API unsigned int ecr_build_get_group(unsigned char* buffer, unsigned int* length, const char* code);
ECRBRIDGE_API unsigned int ecr_build_cancel_get_group_completion(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_parse_getgroup_response(unsigned char* message, unsigned int length,
                                                       _ecr_mread_report* report);
