// Queries of the terminal's journal: count, one transaction, summary.
#pragma once
#include <cstdint>

#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
ECRBRIDGE_API unsigned int pos_get_count_transaction(void* handle, unsigned char index, uint32_t* count);
ECRBRIDGE_API unsigned int pos_get_transaction_data_by_sequence_number(void* handle, unsigned char index,
                                                                       uint32_t sequence,
                                                                       _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int pos_get_last_transaction_data(void* handle, unsigned char index,
                                                         _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int pos_get_transaction_data_by_invoice(void* handle, unsigned char index, int32_t invoice,
                                                               _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int pos_get_summery_transaction_data(void* handle, unsigned char index,
                                                            _ecr_gsi_report* summary);
}
ECRBRIDGE_API unsigned int ecr_build_get_count_transaction(unsigned char* buffer, unsigned int* length,
                                                           unsigned char index);
ECRBRIDGE_API unsigned int ecr_build_transaction_data_by_sequence_number(unsigned char* buffer, unsigned int* length,
                                                                         unsigned char index, uint32_t sequence);
ECRBRIDGE_API unsigned int ecr_build_last_transaction_data(unsigned char* buffer, unsigned int* length,
                                                           unsigned char index);
ECRBRIDGE_API unsigned int ecr_build_transaction_data_by_invoice(unsigned char* buffer, unsigned int* length,
                                                                 unsigned char index, int32_t invoice);
ECRBRIDGE_API unsigned int ecr_build_get_sammery_transaction_data(unsigned char* buffer, unsigned int* length,
                                                                  unsigned char index);
ECRBRIDGE_API unsigned int ecr_parse_get_count_transaction_response(unsigned char* message, unsigned int length,
                                                                    uint32_t* count);
ECRBRIDGE_API unsigned int ecr_parse_get_sammery_transaction_response(unsigned char* message, unsigned int length,
                                                                      _ecr_gsi_report* summary);
