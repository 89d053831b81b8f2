// Benchmarks of the codec hot paths: encoding a request of every layout,
// decoding the final response of each of the four field sequences and of a
// 16 KiB message, and beside them the zeroing that encoding and decoding must
// do (the 16384-byte request buffer, the whole report record): the floor that
// no encoder or decoder of this protocol can beat.  Every encode and decode
// benchmark counts its heap allocations per message.  Also: cutting the
// fields of a 40-field message, the hex dump of a largest frame, and the
// CP1251 -> UTF-8 conversion of a 2 KiB receipt.  Framing and packet I/O are
// left out: their time is the line's.
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
#include "alloc_count.h"
#include "encoding/iconv.h"
#include "protocol/message.h"
#include "protocol/records.h"
#include "protocol/request_encoder.h"
#include "protocol/response_decoder.h"

namespace {

constexpr unsigned int kMaxMessage = 16384;
const std::string FS = "\x1C";

// Heap allocations per pass of the benchmark's loop, counted on its thread.
class AllocationsPerPass {
public:
    AllocationsPerPass() : m_before(benchalloc::thread_count()) {}
    void report(benchmark::State& state) const
    {
        const double passes = static_cast<double>(state.iterations());
        state.counters["allocs_per_msg"] =
            passes > 0 ? static_cast<double>(benchalloc::thread_count() - m_before) / passes : 0;
    }

private:
    uint64_t m_before;
};

// ---------------------------------------------------------------- request encoding

void fill(char* field, size_t size, const char* text)
{
    std::strncpy(field, text, size);
}

// A request of operation op with every field its layout sends filled: a
// purchase of 12.34 from cash register 1, receipt 57, currency 643.
std::unique_ptr<_init_transaction_request> request(uint16_t op)
{
    std::unique_ptr<_init_transaction_request> req(new _init_transaction_request);
    std::memset(req.get(), 0, sizeof *req);
    req->trx_type = op;
    req->ecr_num = 1;
    req->ecr_receipt_num = 57;
    req->amount = 12.34;
    req->add_amount = 0.5;
    req->currency_code = 643;
    req->merchant_id = 3;
    req->discount_req_type = 2;
    req->complete_type = 1;
    req->loyalty_number = 42;
    req->nominal_number = 1;
    fill(req->invoice_num, sizeof req->invoice_num, "000123");
    fill(req->loyalty_ref, sizeof req->loyalty_ref, "LR0001");
    fill(req->host_text, sizeof req->host_text, "HOST TEXT");
    fill(req->print_text, sizeof req->print_text, "PRINT THIS LINE\n");
    std::memcpy(req->rrn, "123456789012", 12);
    std::memcpy(req->auth_code, "A1B2C3", 6);
    std::memcpy(req->service_number, "007", 3);
    for (int i = 0; i < 4; ++i)
        fill(req->service_params[i].text, sizeof req->service_params[i].text, "PARAM");
    return req;
}

// One operation of each request layout.
struct Layout {
    const char* name;
    uint16_t op;
};
const Layout kLayouts[] = {
    {"PNG", 43}, {"PST", 45}, {"PPD", 6},        {"ECH", 39},        {"STL", 7},   {"XRP", 32},
    {"CID", 30}, {"VOD", 8},  {"RDC", 9},        {"RDC14", 10},      {"PVD", 20},  {"SEP", 16},
    {"SRC", 42}, {"PUR", 1},  {"AFC", 17},       {"LRW", 22},        {"LWV", 24},  {"LWR", 26},
    {"LGO", 28},
};

void BM_Encode(benchmark::State& state, Layout layout)
{
    std::unique_ptr<_init_transaction_request> req = request(layout.op);
    std::vector<unsigned char> buf(kMaxMessage);
    unsigned int len = 0;
    if (ecr_build_init_transaction(buf.data(), &len, req.get()) != SE_OK) {
        state.SkipWithError("the request does not encode");
        return;
    }
    AllocationsPerPass allocs;
    for (auto _ : state) {
        unsigned int st = ecr_build_init_transaction(buf.data(), &len, req.get());
        benchmark::DoNotOptimize(st);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    allocs.report(state);
    state.counters["message_bytes"] = len;
}

// The zeroing every layout but PNG must do: the whole request buffer.
void BM_ZeroRequestBuffer(benchmark::State& state)
{
    std::vector<unsigned char> buf(kMaxMessage);
    for (auto _ : state) {
        std::memset(buf.data(), 0, buf.size());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ZeroRequestBuffer);

// ---------------------------------------------------------------- response decoding

std::string join(const std::vector<std::string>& fields)
{
    std::string out;
    for (const std::string& f : fields)
        out += f + FS;
    return out;
}

std::string receipt_text(size_t size)
{
    std::string receipt;
    for (int line = 0; receipt.size() < size; ++line) {
        char text[48];
        std::snprintf(text, sizeof text, "%02d  PURCHASE ITEM %02d ........ 12.34\n", line % 100, line % 100);
        receipt += text;
    }
    receipt.resize(size);
    return receipt;
}

const std::vector<std::string> kStandardFields = {
    "01", "57", "000000001234", "000000000050", "411111******1111", "1227JOHN", "VISA CLASSIC",
    "000123A1B2C307121530ISSUER1", "MERCHANT0001", "000000051001234", "123456789012", "VISA", "TERM0001"};

// Standard sequence: a purchase answer with every field, additional data,
// the bank name, a 2048-byte receipt and both logos (2.7 KB).
std::string standard_response()
{
    return "PUR12.00" + FS + join(kStandardFields) +
           join({std::string(120, 'D'), "BANK", receipt_text(2048), std::string(256, 'L'), std::string(128, 'S')});
}

// The card identification prefix, then the standard sequence.
std::string cid_response()
{
    return "CID12.00" + FS + join({"4111111111111111", "RNK0000000001", "PRODUCT01"}) + join(kStandardFields) +
           join({"ADDITIONAL", "BANK", receipt_text(512), "", ""});
}

// The loyalty sequence of the longest loyalty answer (LRD).
std::string loyalty_response()
{
    return "LRD12.00" + FS + join({"01", "57", "000000001234", "000123", "000042", "411111******1111", "071226",
                                   "000000000050", "000000001284"});
}

// The multi-currency settlement: batch number and six complete blocks.
std::string multi_currency_response()
{
    std::string text = "SLO12.00" + FS + "000042" + FS;
    for (int block = 0; block < 6; ++block) {
        text += join({std::to_string(643 + block), "000000123400", "000000000100", "000000012300", "000000000000",
                      "000000000200", "000000004500", "000000135900", "12", "3", "15"});
    }
    return text;
}

// A 16 KiB answer of the standard sequence: every field at its limit and
// logos that fill the message up to 16384 bytes.
std::string largest_response()
{
    std::string head = "PUR12.00" + FS + join(kStandardFields) +
                       join({std::string(999, 'D'), std::string(20, 'B'), receipt_text(2048), std::string(8192, 'L')});
    std::string signature(kMaxMessage - head.size() - 1, 'S');
    return head + signature + FS;
}

void BM_Decode(benchmark::State& state, std::string (*make)(), unsigned int expected_status)
{
    const std::string text = make();
    std::vector<unsigned char> msg(text.begin(), text.end());
    std::unique_ptr<_ecr_transaction_report> report(new _ecr_transaction_report);
    const unsigned int len = static_cast<unsigned int>(msg.size());
    if (ecr_parse_response(msg.data(), len, report.get()) != expected_status || report->TrxType == 0) {
        state.SkipWithError("the response does not decode completely");
        return;
    }
    AllocationsPerPass allocs;
    for (auto _ : state) {
        unsigned int st = ecr_parse_response(msg.data(), len, report.get());
        benchmark::DoNotOptimize(st);
        benchmark::ClobberMemory();
    }
    allocs.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * len);
    state.counters["message_bytes"] = len;
}
BENCHMARK_CAPTURE(BM_Decode, standard, standard_response, SE_OK);
BENCHMARK_CAPTURE(BM_Decode, card_identification, cid_response, SE_OK);
BENCHMARK_CAPTURE(BM_Decode, loyalty, loyalty_response, SE_OK);
BENCHMARK_CAPTURE(BM_Decode, multi_currency, multi_currency_response, SE_OK);
BENCHMARK_CAPTURE(BM_Decode, largest_16k, largest_response, SE_OK);

// The zeroing every decode must do: the whole report record.
void BM_ZeroReport(benchmark::State& state)
{
    std::unique_ptr<_ecr_transaction_report> report(new _ecr_transaction_report);
    for (auto _ : state) {
        std::memset(report.get(), 0, sizeof *report);
        benchmark::DoNotOptimize(report.get());
        benchmark::ClobberMemory();
    }
    state.counters["record_bytes"] = sizeof(_ecr_transaction_report);
}
BENCHMARK(BM_ZeroReport);

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
    for (const Layout& layout : kLayouts)
        benchmark::RegisterBenchmark((std::string("BM_Encode/") + layout.name).c_str(), BM_Encode, layout);
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
