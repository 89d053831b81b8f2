// Terminal software name / information texts and serial number.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

extern "C" {
// text: at least 256 bytes.
ECRBRIDGE_API unsigned int pos_get_name_software(void* handle, char* text, tagGetInfoType kind);
ECRBRIDGE_API unsigned int pos_get_serial_number(void* handle, char* text);
}
ECRBRIDGE_API unsigned int ecr_build_get_name_software(unsigned char* buffer, unsigned int* length,
                                                       tagGetInfoType kind);
ECRBRIDGE_API unsigned int ecr_build_get_serial_number(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_parse_getNameSoftware_response(unsigned char* message, unsigned int length,
                                                              char* text);
ECRBRIDGE_API unsigned int ecr_parse_TSN_response(unsigned char* message, unsigned int length, char* text);
