// Audit (multi-packet) and X report exchanges.
#pragma once
#include <vector>

#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
ECRBRIDGE_API unsigned int pos_audit_request(void* handle, std::vector<_ecr_audit_report>* records,
                                             char* parameter);
ECRBRIDGE_API unsigned int Pos_Print_X_Report(void* handle);
}
ECRBRIDGE_API unsigned int ecr_build_audit_request(unsigned char* buffer, unsigned int* length, char* parameter);
ECRBRIDGE_API unsigned int ecr_parse_audit_response(unsigned char* message, unsigned int length,
                                                    _ecr_audit_report* record);
ECRBRIDGE_API unsigned int pos_x_report_print_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int pos_x_report_print_responce(unsigned char* message, unsigned int length);
