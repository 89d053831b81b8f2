// How the payment exchange tells the terminal's messages apart and what it
// answers; pure functions over a received message (no I/O).
#pragma once
#include <cstdint>

#include "protocol/records.h"

// Number "00" (characters 4 and 5 of the header): the terminal asks to wait.
bool is_wait_notice(const unsigned char* msg, unsigned int len);
// Minutes of a wait notice: the two decimal digits right after the header.
// False (and *minutes untouched) when the message is too short or either
// character is not a digit; the caller then keeps its deadline.
bool wait_notice_minutes(const unsigned char* msg, unsigned int len, unsigned int* minutes);
// Code "SMS", letter case ignored.
bool is_text_message(const unsigned char* msg, unsigned int len);
// First five bytes exactly "PIR21", "RFI21" or "VID21".
bool is_progress_notice(const unsigned char* msg, unsigned int len);
// The 6-byte confirmation of a final response: its code letters as received,
// then the number of its operation's confirmation rule (the operation table).
void build_confirmation(const unsigned char* msg, unsigned int len, unsigned char out[6]);
// Store the first field of a text message (after the 6-character header) as
// the report's MsgText, cut to 49 characters and always terminated, and set
// MsgFlag to 1 when the second field starts above the digit 0.
void store_text_message(const unsigned char* msg, unsigned int len, _ecr_transaction_report* report);
// Case-insensitive comparison of the first n bytes of msg with text
// (false when the message is shorter than n).
bool message_starts_with(const unsigned char* msg, unsigned int len, const char* text, unsigned int n);
