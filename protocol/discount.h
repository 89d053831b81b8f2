// Discount card reads and discount information.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
ECRBRIDGE_API unsigned int pos_discount_init(void* handle, _ecr_mread_report* report);
// mode 'S' / 'C' ("DSC" with the letter), 'R' ("GRC"), other ("DSC", no letter).
ECRBRIDGE_API unsigned int pos_discount_init_accid(void* handle, _ecr_mread_report* report, char* account,
                                                   unsigned char mode);
ECRBRIDGE_API unsigned int pos_discount_init_ex(void* handle, _ecr_discount_info* info);
ECRBRIDGE_API unsigned int ecr_parse_disc_response(unsigned char* message, unsigned int length,
                                                   _ecr_discount_info* info);
}
ECRBRIDGE_API unsigned int ecr_build_discount_card_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_build_discount_canc_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_build_discount_ex_card_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_build_discount_card_request_accid(unsigned char* buffer, unsigned int* length,
                                                                 char* account, unsigned char mode);
