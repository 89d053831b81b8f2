// Benchmarks of the codec hot paths: encoding the purchase request, decoding
// a complete final response with a 2 KiB receipt, cutting the fields of a
// 40-field message, the hex dump of a largest frame, and the CP1251 -> UTF-8
// conversion of a 2 KiB receipt.  Framing and packet I/O are left out: their
// time is the line's.
//
// Logging stays off throughout (it is switched on only by the ECR object,
// which no benchmark creates), so no record or dump is composed or written.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "encoding/iconv.h"
#include "protocol/message.h"
#include "protocol/records.h"
#include "protocol/request_encoder.h"
#include "protocol/response_decoder.h"

namespace {

constexpr unsigned int kMaxMessage = 16384;
const std::string FS = "\x1C";

// ---------------------------------------------------------------- request encoding

// A purchase of 12.34 from cash register 1, receipt 57, currency 643, all
// texts empty: the 66-byte request "PUR10.01" FS "57" FS ...
void BM_EncodePurchaseRequest(benchmark::State& state)
{
    std::unique_ptr<_init_transaction_request> req(new _init_transaction_request);
    std::memset(req.get(), 0, sizeof *req);
    req->trx_type = 1;
    req->ecr_num = 1;
    req->ecr_receipt_num = 57;
    req->amount = 12.34;
    req->currency_code = 643;
    std::vector<unsigned char> buf(kMaxMessage);
    unsigned int len = 0;
    if (ecr_build_init_transaction(buf.data(), &len, req.get()) != SE_OK || len != 66) {
        state.SkipWithError("the purchase request is not the 66-byte message");
        return;
    }
    for (auto _ : state) {
        unsigned int st = ecr_build_init_transaction(buf.data(), &len, req.get());
        benchmark::DoNotOptimize(st);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * len);
}
BENCHMARK(BM_EncodePurchaseRequest);

// ---------------------------------------------------------------- response decoding

std::string join(const std::vector<std::string>& fields)
{
    std::string out;
    for (const std::string& f : fields)
        out += f + FS;
    return out;
}

// A purchase answer with every field of the standard sequence, additional
// data, the bank name, a 2048-byte receipt and both logos.
std::string final_response()
{
    std::string receipt;
    for (int line = 0; receipt.size() < 2048; ++line) {
        char text[48];
        std::snprintf(text, sizeof text, "%02d  PURCHASE ITEM %02d ........ 12.34\n", line % 100, line % 100);
        receipt += text;
    }
    receipt.resize(2048);
    return "PUR12." + std::string("00") + FS +
           join({"01", "57", "000000001234", "000000000050", "411111******1111", "1227JOHN", "VISA CLASSIC",
                 "000123A1B2C307121530ISSUER1", "MERCHANT0001", "000000051001234", "123456789012", "VISA",
                 "TERM0001", std::string(120, 'D'), "BANK", receipt, std::string(256, 'L'), std::string(128, 'S')});
}

void BM_DecodeFinalResponse(benchmark::State& state)
{
    const std::string text = final_response();
    std::vector<unsigned char> msg(text.begin(), text.end());
    std::unique_ptr<_ecr_transaction_report> report(new _ecr_transaction_report);
    const unsigned int len = static_cast<unsigned int>(msg.size());
    if (ecr_parse_response(msg.data(), len, report.get()) != SE_OK || strnlen(report->Receipt, 2048) != 2048 ||
        report->SignatureLogoSize != 128) {
        state.SkipWithError("the final response does not decode completely");
        return;
    }
    for (auto _ : state) {
        unsigned int st = ecr_parse_response(msg.data(), len, report.get());
        benchmark::DoNotOptimize(st);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * len);
    state.counters["message_bytes"] = len;
}
BENCHMARK(BM_DecodeFinalResponse);

// ---------------------------------------------------------------- field cutting

// Forty fields of 1 to 24 characters after a header.
std::vector<unsigned char> forty_fields()
{
    std::string text = "GSI11.";
    for (int i = 0; i < 40; ++i)
        text += std::string(1 + (i * 7) % 24, static_cast<char>('A' + i % 26)) + (i < 39 ? FS : "");
    return std::vector<unsigned char>(text.begin(), text.end());
}

void BM_CutFortyFields(benchmark::State& state)
{
    std::vector<unsigned char> msg = forty_fields();
    unsigned char scratch[256];
    int64_t fields = 0;
    for (auto _ : state) {
        unsigned char* cursor = msg.data() + 6;
        unsigned int remaining = static_cast<unsigned int>(msg.size() - 6);
        unsigned int n = 0;
        int cut = 0;
        while (cut_next_field(&cursor, &remaining, scratch, &n) == SE_OK)
            ++cut;
        benchmark::DoNotOptimize(scratch);
        if (cut != 40) {
            state.SkipWithError("the message does not have 40 fields");
            return;
        }
        fields += cut;
    }
    state.SetItemsProcessed(fields);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(msg.size() - 6));
}
BENCHMARK(BM_CutFortyFields);

// ---------------------------------------------------------------- hex dump

void BM_HexDumpLargestFrame(benchmark::State& state)
{
    std::vector<unsigned char> frame(kMaxMessage);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<unsigned char>(i * 31 + 7);
    size_t chars = 0;
    for (auto _ : state) {
        std::string text = el::hex_dump(frame.data(), static_cast<unsigned int>(frame.size()), 16);
        chars = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
    state.counters["dump_chars"] = static_cast<double>(chars);
}
BENCHMARK(BM_HexDumpLargestFrame);

// ---------------------------------------------------------------- receipt conversion

// A 2048-byte CP1251 receipt: Cyrillic lines (two UTF-8 bytes a letter) with
// digits, blanks and line ends.
std::vector<char> cp1251_receipt()
{
    std::vector<char> text;
    for (int i = 0; text.size() < 2048; ++i) {
        if (i % 40 == 39)
            text.push_back('\n');
        else if (i % 8 == 7)
            text.push_back(' ');
        else if (i % 5 == 0)
            text.push_back(static_cast<char>('0' + i % 10));
        else
            text.push_back(static_cast<char>(0xC0 + i % 64));  // А..я
    }
    text.resize(2048);
    return text;
}

void BM_ConvertReceipt(benchmark::State& state)
{
    const std::vector<char> receipt = cp1251_receipt();
    // Room for the grown text: up to three bytes a character plus the terminator.
    std::vector<char> text(3 * receipt.size() + 1);
    std::memcpy(text.data(), receipt.data(), receipt.size());
    text[receipt.size()] = 0;
    if (ConvertAsciitoUtf(text.data()) != 1 || std::strlen(text.data()) <= receipt.size()) {
        state.SkipWithError("the receipt does not convert");
        return;
    }
    for (auto _ : state) {
        // The conversion works in place: each pass starts from the CP1251 text.
        std::memcpy(text.data(), receipt.data(), receipt.size());
        text[receipt.size()] = 0;
        int ok = ConvertAsciitoUtf(text.data());
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(receipt.size()));
}
BENCHMARK(BM_ConvertReceipt);

}  // namespace

int main(int argc, char** argv)
{
    // Nothing here switches logging on; refuse to measure if something did,
    // since the numbers would then include composing and queueing records.
    if (el::get_logging()) {
        std::fprintf(stderr, "logging is on: the benchmarks measure the codec with logging off\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
