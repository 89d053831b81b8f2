// Queries of the terminal's journal: count ("GTC"), one stored transaction by
// sequence number ("GTS"), the last one ("GTL"), by invoice ("GTI"), and the
// summary of totals ("GSI").
#include "protocol/stored_transactions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Logging/log.h"
#include "protocol/response_decoder.h"
#include "protocol/service_fields.h"

namespace {

// Write the first width characters of a number's text; the message length is
// fixed, so a longer text is cut.
unsigned int put_number(unsigned char* at, const char* text, unsigned int width)
{
    const size_t n = strnlen(text, width);
    std::memcpy(at, text, n);
    return width;
}

unsigned int index_only(unsigned char* buffer, unsigned int* length, const char* header, unsigned char index)
{
    if (!buffer || !length)
        return SE_PARAM;
    svc_begin(buffer, header);
    char text[16];
    std::snprintf(text, sizeof(text), "%.2d", static_cast<int>(index));
    put_number(buffer + 6, text, 2);
    *length = 8;
    return SE_OK;
}

// The five queries differ only in their request and their decoder; the
// single-transaction ones also note their failures.
template <class Build, class Decode>
unsigned int query(void* handle, const char* who, const char* builder, bool single_transaction, Build build,
                   Decode decode)
{
    PosHandle* h = static_cast<PosHandle*>(handle);
    if (!h || !h->transport)
        return SE_PARAM;
    return pos_guard(who, [&] {
        PosSession s(h, who);
        s.note_attempts("for []");
        if (single_transaction)
            s.note_read_failures();
        s.begin();
        PosMsg req, resp;
        if (unsigned int e = s.built(build(req), builder))
            return e;
        if (unsigned int e = s.ask(req, resp))
            return e;
        const unsigned int acked = s.ack(POS_SERVICE_PAUSE_MS);
        decode(resp);  // its status is not reported
        return acked;
    });
}

}  // namespace

unsigned int ecr_build_get_count_transaction(unsigned char* buffer, unsigned int* length, unsigned char index)
{
    return index_only(buffer, length, "GTC10.", index);
}

unsigned int ecr_build_transaction_data_by_sequence_number(unsigned char* buffer, unsigned int* length,
                                                           unsigned char index, uint32_t sequence)
{
    if (!buffer || !length)
        return SE_PARAM;
    svc_begin(buffer, "GTS10.");
    char text[16];
    std::snprintf(text, sizeof(text), "%.2d", static_cast<int>(index));
    put_number(buffer + 6, text, 2);
    buffer[8] = FS;
    std::snprintf(text, sizeof(text), "%.4u", static_cast<unsigned int>(sequence));
    put_number(buffer + 9, text, 4);
    *length = 13;
    return SE_OK;
}

unsigned int ecr_build_last_transaction_data(unsigned char* buffer, unsigned int* length, unsigned char index)
{
    return index_only(buffer, length, "GTL10.", index);
}

unsigned int ecr_build_transaction_data_by_invoice(unsigned char* buffer, unsigned int* length,
                                                   unsigned char index, int32_t invoice)
{
    if (!buffer || !length)
        return SE_PARAM;
    svc_begin(buffer, "GTI10.");
    char text[16];
    std::snprintf(text, sizeof(text), "%.6d", static_cast<int>(invoice));
    put_number(buffer + 6, text, 6);
    buffer[12] = FS;
    std::snprintf(text, sizeof(text), "%.2d", static_cast<int>(index));
    put_number(buffer + 13, text, 2);
    *length = 15;
    return SE_OK;
}

unsigned int ecr_build_get_sammery_transaction_data(unsigned char* buffer, unsigned int* length,
                                                    unsigned char index)
{
    return index_only(buffer, length, "GSI10.", index);
}

unsigned int ecr_parse_get_count_transaction_response(unsigned char* message, unsigned int length, uint32_t* count)
{
    if (!message || !count)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    if (!svc_head(message, "GTC", "11."))
        return SE_SYNTAX;
    // One byte beyond the scratch area stays zero, so the conversion ends
    // there even when the field fills the whole area.
    unsigned char field[SVC_SCRATCH + 1] = {};
    unsigned int n = 0;
    const unsigned int cut = svc_cut_first(message, length, field, &n);
    if (cut == SE_SIZE)
        return SE_SIZE;
    if (cut != SE_OK)
        return SE_OK;
    *count = static_cast<uint32_t>(std::atol(reinterpret_cast<char*>(field)));
    return SE_OK;
}

unsigned int ecr_parse_get_sammery_transaction_response(unsigned char* message, unsigned int length,
                                                        _ecr_gsi_report* summary)
{
    if (!message || !summary)
        return SE_PARAM;
    if (length < 8)
        return SE_SYNTAX;
    if (!svc_head(message, "GSI", "11."))
        return SE_SYNTAX;
    uint32_t* counts[3] = {&summary->count1, &summary->count2, &summary->count3};
    double* amounts[3] = {&summary->amount1, &summary->amount2, &summary->amount3};
    unsigned char* cursor = message + 6;
    unsigned int remaining = length - 6;
    unsigned char field[SVC_SCRATCH + 1] = {};  // the last byte stays zero: conversions end there
    for (int i = 0; i < 6; ++i) {
        unsigned int n = 0;
        if (svc_cut(&cursor, &remaining, field, &n) != SE_OK)
            continue;
        const char* text = reinterpret_cast<char*>(field);
        if (i % 2 == 0)
            *counts[i / 2] = static_cast<uint32_t>(std::atol(text));
        else
            *amounts[i / 2] = std::atof(text) / 100.0;
    }
    return SE_OK;
}

unsigned int pos_get_count_transaction(void* handle, unsigned char index, uint32_t* count)
{
    if (!handle || !count)
        return SE_PARAM;
    return query(
        handle, __func__, "ecr_build_get_count_transaction", false,
        [&](PosMsg& req) { return ecr_build_get_count_transaction(req.data, &req.len, index); },
        [&](PosMsg& resp) { return ecr_parse_get_count_transaction_response(resp.data, resp.len, count); });
}

unsigned int pos_get_transaction_data_by_sequence_number(void* handle, unsigned char index, uint32_t sequence,
                                                         _ecr_transaction_report* report)
{
    if (!handle || !report)
        return SE_PARAM;
    return query(
        handle, __func__, "ecr_build_transaction_data_by_sequence_number", true,
        [&](PosMsg& req) { return ecr_build_transaction_data_by_sequence_number(req.data, &req.len, index, sequence); },
        [&](PosMsg& resp) { return ecr_parse_response_NP(resp.data, resp.len, report); });
}

unsigned int pos_get_last_transaction_data(void* handle, unsigned char index, _ecr_transaction_report* report)
{
    if (!handle || !report)
        return SE_PARAM;
    return query(
        handle, __func__, "ecr_build_last_transaction_data", true,
        [&](PosMsg& req) { return ecr_build_last_transaction_data(req.data, &req.len, index); },
        [&](PosMsg& resp) { return ecr_parse_response_NP(resp.data, resp.len, report); });
}

unsigned int pos_get_transaction_data_by_invoice(void* handle, unsigned char index, int32_t invoice,
                                                 _ecr_transaction_report* report)
{
    if (!handle || !report)
        return SE_PARAM;
    return query(
        handle, __func__, "ecr_build_transaction_data_by_invoice", true,
        [&](PosMsg& req) { return ecr_build_transaction_data_by_invoice(req.data, &req.len, index, invoice); },
        [&](PosMsg& resp) { return ecr_parse_response_NP(resp.data, resp.len, report); });
}

unsigned int pos_get_summery_transaction_data(void* handle, unsigned char index, _ecr_gsi_report* summary)
{
    if (!handle || !summary)
        return SE_PARAM;
    return query(
        handle, __func__, "ecr_build_get_sammere_transaction_data", false,
        [&](PosMsg& req) { return ecr_build_get_sammery_transaction_data(req.data, &req.len, index); },
        [&](PosMsg& resp) { return ecr_parse_get_sammery_transaction_response(resp.data, resp.len, summary); });
}
