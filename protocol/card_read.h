// Card and PIN reads and the card-check purchase exchanges.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
// mode 1 "DCR" (wait 1..99 s is sent), 2 "ACR", other "CRD".
ECRBRIDGE_API unsigned int pos_magnetic_read(void* handle, _ecr_mread_report* report, unsigned char mode,
                                             unsigned char wait);
ECRBRIDGE_API unsigned int pos_pin_read(void* handle, _ecr_transaction_report* report, unsigned char parameter,
                                        unsigned short wait_seconds);
// Writes '1', '2' or '5' (no valid answer) into *belonging.
ECRBRIDGE_API unsigned int pos_read_card_belonging(void* handle, unsigned short* belonging);
ECRBRIDGE_API unsigned int pos_sent_tran_completion(void* handle, unsigned int complete);
}
ECRBRIDGE_API unsigned int ecr_build_crd_request(unsigned char* buffer, unsigned int* length, unsigned char mode,
                                                 unsigned char wait);
ECRBRIDGE_API unsigned int ecr_parse_crd_response(unsigned char* message, unsigned int length,
                                                  _ecr_mread_report* report);
