/*
 * ecrbridge - the protocol layer's exported functions.
 *
 * The library exports its terminal protocol too: framing and packet I/O,
 * the message codec and every exchange with the terminal, and the serial
 * line.  They are documented here so that their names and parameter types
 * are on record, not for use by a cash-register application: everything an
 * application needs is in ecrbridge.h, and these functions bypass the ECR
 * object (no properties, no callbacks, no log of the operation).  They exist
 * for diagnostics and for programs that drive a terminal frame by frame.
 *
 * Status codes: every function that returns unsigned int returns one of the
 * ECR_SE_ codes below.  Message buffers are 16384 bytes (ECR_MAX_MESSAGE);
 * builders zero the whole buffer and write the message length.  Records are
 * only passed by pointer; their layout is private to the library.
 *
 * Handles: a `void* handle` is a protocol handle (struct PosHandle) that
 * pos_open created for a serial line, or that the library's transport
 * created for a socket.  One exchange runs on a handle at a time.
 */
#ifndef ECRBRIDGE_PROTOCOL_H
#define ECRBRIDGE_PROTOCOL_H

#include <stdint.h>

#include "ecrbridge.h"

/* Status codes. */
#define ECR_SE_OK 0u
#define ECR_SE_FAIL 1u
#define ECR_SE_NOMEM 2u
#define ECR_SE_PARAM 3u
#define ECR_SE_NOTOPEN 4u
#define ECR_SE_OPEN 8u
#define ECR_SE_READ 9u
#define ECR_SE_WRITE 10u
#define ECR_SE_EXEC 13u
#define ECR_SE_SYNTAX 15u
#define ECR_SE_EMPTY 17u
#define ECR_SE_NODATA 18u
#define ECR_SE_FORMAT 19u
#define ECR_SE_SIZE 20u
#define ECR_SE_MESSAGE 23u
#define ECR_SE_NOCARD 25u
#define ECR_SE_REPLY2 26u
#define ECR_SE_REPLY3 27u

/* Size of every request and response buffer. */
#define ECR_MAX_MESSAGE 16384u

struct PosHandle;
struct _comport_handle;
struct _comport_context;
struct _init_transaction_request;
struct _ecr_transaction_report;
struct _ecr_mread_report;
struct _ecr_discount_info;
struct _ecr_gsi_report;
struct _ecr_audit_report;

/* Kind of terminal information: 0 software name, 1 and 2 the terminal's two
   information texts. */
#ifdef __cplusplus
enum tagGetInfoType : int32_t;
#else
typedef int32_t tagGetInfoType;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Protocol handle and serial line ---- */
ECRBRIDGE_API unsigned int pos_open(struct PosHandle** handle, struct _comport_context* settings);
ECRBRIDGE_API unsigned int pos_close(struct PosHandle* handle);
/* Packet time-out 0 becomes 5 s, response time-out 0 becomes 40 s. */
ECRBRIDGE_API unsigned int pos_set_timeouts(struct PosHandle* handle, unsigned short packet, unsigned short response);
ECRBRIDGE_API unsigned int pos_clear_port(struct PosHandle* handle);

ECRBRIDGE_API unsigned int comport_open(struct _comport_handle** out, const char* device, unsigned long baud,
                                        unsigned char data_bits, unsigned char parity, unsigned char stop_bits);
ECRBRIDGE_API void comport_close(struct _comport_handle* port);
/* Bytes written (n), 0 for n = 0, -1 on error or null arguments. */
ECRBRIDGE_API int comport_write(struct _comport_handle* port, const unsigned char* bytes, unsigned int n);
/* Bytes read: n when complete, fewer (0 if none) after 2 s of silence, -1 on
   error. */
ECRBRIDGE_API int comport_read(struct _comport_handle* port, unsigned char* buffer, unsigned int n);
ECRBRIDGE_API unsigned int comport_writeframe(struct _comport_handle* port, const unsigned char* bytes, int size);
ECRBRIDGE_API unsigned int comport_readframe(struct _comport_handle* port, unsigned char* buffer, int size);
ECRBRIDGE_API unsigned int comport_write_all(struct _comport_handle* port, const unsigned char* bytes, int size,
                                             int attempts);
ECRBRIDGE_API unsigned int comport_read_all(struct _comport_handle* port, unsigned char* buffer, int size,
                                            int attempts);

/* ---- Exchanges ---- */
/* Payment: send the request and read the first answer, then read further
   messages until the final response (ECR_SE_MESSAGE: read again). */
ECRBRIDGE_API unsigned int pos_init_transaction(void* handle, struct _init_transaction_request* request);
ECRBRIDGE_API unsigned int pos_read_transaction_report(void* handle, struct _ecr_transaction_report* report);
/* Card and PIN reading, card-check purchase. */
ECRBRIDGE_API unsigned int pos_magnetic_read(void* handle, struct _ecr_mread_report* report, unsigned char mode,
                                             unsigned char wait);
ECRBRIDGE_API unsigned int pos_pin_read(void* handle, struct _ecr_transaction_report* report, unsigned char parameter,
                                        unsigned short wait_seconds);
ECRBRIDGE_API unsigned int pos_read_card_belonging(void* handle, unsigned short* belonging);
ECRBRIDGE_API unsigned int pos_sent_tran_completion(void* handle, unsigned int complete);
/* Discount and card group. */
ECRBRIDGE_API unsigned int pos_discount_init(void* handle, struct _ecr_mread_report* report);
ECRBRIDGE_API unsigned int pos_discount_init_accid(void* handle, struct _ecr_mread_report* report, char* account,
                                                   unsigned char mode);
ECRBRIDGE_API unsigned int pos_discount_init_ex(void* handle, struct _ecr_discount_info* info);
ECRBRIDGE_API unsigned int ecr_parse_disc_response(unsigned char* message, unsigned int length,
                                                   struct _ecr_discount_info* info);
ECRBRIDGE_API unsigned int pos_get_group(void* handle, struct _ecr_mread_report* report, const char* code);
ECRBRIDGE_API unsigned int pos_cancel_get_group_completion(void* handle);
/* Terminal information. */
ECRBRIDGE_API unsigned int pos_get_name_software(void* handle, char* text, tagGetInfoType kind);
ECRBRIDGE_API unsigned int pos_get_serial_number(void* handle, char* text);
/* Stored transactions. */
ECRBRIDGE_API unsigned int pos_get_count_transaction(void* handle, unsigned char index, uint32_t* count);
ECRBRIDGE_API unsigned int pos_get_transaction_data_by_sequence_number(void* handle, unsigned char index,
                                                                       uint32_t sequence,
                                                                       struct _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int pos_get_last_transaction_data(void* handle, unsigned char index,
                                                         struct _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int pos_get_transaction_data_by_invoice(void* handle, unsigned char index, int32_t invoice,
                                                               struct _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int pos_get_summery_transaction_data(void* handle, unsigned char index,
                                                            struct _ecr_gsi_report* summary);
/* X report. */
ECRBRIDGE_API unsigned int Pos_Print_X_Report(void* handle);

#ifdef __cplusplus
} /* extern "C" */

/* ---- Functions exported under C++ (mangled) names ---- */
#include <vector>

/* Audit: every record the terminal sends, appended to *records. */
extern "C" ECRBRIDGE_API unsigned int pos_audit_request(void* handle, std::vector<_ecr_audit_report>* records,
                                                        char* parameter);

/* Packet I/O: one frame (STX, message, ETX, XOR check byte) and its ACK. */
ECRBRIDGE_API unsigned int pos_write_packet(void* handle, unsigned char* message, unsigned int n);
/* Reads one frame into buf (ECR_MAX_MESSAGE bytes); on ECR_SE_OK the message
   starts at buf[0] and *len is its length. */
ECRBRIDGE_API unsigned int pos_read_packet(void* handle, unsigned char* buf, unsigned int* len);
ECRBRIDGE_API unsigned int comport_reopen(_comport_handle** port, const char* device, unsigned long baud,
                                          unsigned char data_bits, unsigned char parity, unsigned char stop_bits);

/* Interrupt and abort of a running payment. */
ECRBRIDGE_API unsigned int send_receive_interrupt(void* handle);
ECRBRIDGE_API unsigned int send_receive_abort(void* handle, _ecr_transaction_report* report);

/* Message primitives: fields are separated by 0x1C. */
ECRBRIDGE_API unsigned int cut_next_field(unsigned char** cursor, unsigned int* remaining, unsigned char* out,
                                          unsigned int* out_len);
/* ECR_SE_EMPTY when all len bytes are zero (or len is 0), else ECR_SE_OK. */
ECRBRIDGE_API unsigned int TestNULL(unsigned char* buf, unsigned int len);
ECRBRIDGE_API unsigned int build_request_header(unsigned char* buf, unsigned int* len, char* header);
ECRBRIDGE_API unsigned int parse_response_interrupt(unsigned char* buf, unsigned int len);

/* Builders and decoders of every message. */
ECRBRIDGE_API unsigned int ecr_build_init_transaction(unsigned char* buf, unsigned int* len,
                                                      _init_transaction_request* req);
ECRBRIDGE_API unsigned int ecr_parse_response(unsigned char* buf, unsigned int len, _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int ecr_parse_response_NP(unsigned char* buf, unsigned int len,
                                                 _ecr_transaction_report* report);
ECRBRIDGE_API unsigned int ecr_build_crd_request(unsigned char* buffer, unsigned int* length, unsigned char mode,
                                                 unsigned char wait);
ECRBRIDGE_API unsigned int ecr_parse_crd_response(unsigned char* message, unsigned int length,
                                                  _ecr_mread_report* report);
ECRBRIDGE_API unsigned int ecr_build_discount_card_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_build_discount_canc_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_build_discount_ex_card_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_build_discount_card_request_accid(unsigned char* buffer, unsigned int* length,
                                                                 char* account, unsigned char mode);
ECRBRIDGE_API unsigned int ecr_build_get_group(unsigned char* buffer, unsigned int* length, const char* code);
ECRBRIDGE_API unsigned int ecr_build_cancel_get_group_completion(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_parse_getgroup_response(unsigned char* message, unsigned int length,
                                                       _ecr_mread_report* report);
ECRBRIDGE_API unsigned int ecr_build_get_name_software(unsigned char* buffer, unsigned int* length,
                                                       tagGetInfoType kind);
ECRBRIDGE_API unsigned int ecr_build_get_serial_number(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int ecr_parse_getNameSoftware_response(unsigned char* message, unsigned int length,
                                                              char* text);
ECRBRIDGE_API unsigned int ecr_parse_TSN_response(unsigned char* message, unsigned int length, char* text);
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
ECRBRIDGE_API unsigned int ecr_build_audit_request(unsigned char* buffer, unsigned int* length, char* parameter);
ECRBRIDGE_API unsigned int ecr_parse_audit_response(unsigned char* message, unsigned int length,
                                                    _ecr_audit_report* record);
ECRBRIDGE_API unsigned int pos_x_report_print_request(unsigned char* buffer, unsigned int* length);
ECRBRIDGE_API unsigned int pos_x_report_print_responce(unsigned char* message, unsigned int length);

/* CP1251 text converted in place to UTF-8 (the buffer holds three bytes per
   character and a terminator): 1 converted, 0 left unchanged. */
ECRBRIDGE_API int ConvertAsciitoUtf(char* text);
/* Entry point of the library's payment worker thread (object: the ECR
   object). */
ECRBRIDGE_API unsigned long ThreadFunc2(void* object);
#endif /* __cplusplus */

#endif /* ECRBRIDGE_PROTOCOL_H */
