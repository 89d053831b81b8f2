// The log writer against an asynchronous spdlog logger configured the same
// way: one writer thread, the same line text and time pattern, a queue of the
// same size in bytes that drops rather than blocks, a file on the same disk.
//
// The caller's cost: ECR_BENCH_LOG_RECORDS records (default 1,000,000) from
// 1 or 4 threads, every record timed at the caller, then the file drained and
// closed.  Counters: the caller's cost per record (p50, p99, max, in ns), the
// lines that reached the file, CPU time and heap allocations per record on
// the calling threads and in the whole process.  Throughput: records per
// second from the first record until the file is drained and closed.
//
// Hex dumps: one LOGDUMP of a purchase's final response (about 250 bytes) and
// of a largest 16 KiB frame, through the path the exchange takes, into the
// log file: the caller's time and allocations per dump, and the process's CPU
// per dump with the writer's share, back to back and with the writer idle
// between dumps (as between the steps of an exchange).
#include <benchmark/benchmark.h>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logging/async_writer.h"
#include "Logging/log.h"
#include "alloc_count.h"
#include "measure.h"
#include "run_size.h"

namespace {

// The typical record: what the exchange writes for an accepted packet, a
// line of about 121 bytes.
const char kExchangeName[] = "pos_read_transaction_report";
constexpr size_t kLineBytes = 121;

using measure::cpu_ns;
using measure::now_ns;

long records_per_run()
{
    return measure::run_size("ECR_BENCH_LOG_RECORDS", 1000000);
}

std::string file_in_run_dir(const std::string& name)
{
    ::mkdir("log_bench_files", 0700);
    std::string path = "log_bench_files/" + name;
    std::remove(path.c_str());
    return path;
}

// Lines and bytes of a file.
void count_lines(const std::string& path, uint64_t* lines, uint64_t* bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chunk(1 << 16);
    *lines = 0;
    *bytes = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::streamsize got = in.gcount();
        *bytes += static_cast<uint64_t>(got);
        *lines += static_cast<uint64_t>(std::count(chunk.data(), chunk.data() + got, '\n'));
    }
}

struct RunResult {
    double p50_ns = 0, p99_ns = 0, max_ns = 0;
    double records_per_s = 0;
    double seconds = 0;
    double caller_cpu_ns_per_record = 0;
    double process_cpu_ns_per_record = 0;
    uint64_t lines = 0;
    uint64_t bytes = 0;
    double caller_allocs_per_record = 0;
    double process_allocs_per_record = 0;
};

// Runs `threads` producers that together write `total` records with
// record(i), timing each; then drain() must return once the file holds
// everything and is closed.
RunResult run(int threads, long total, const std::string& path, const std::function<void(unsigned)>& record,
              const std::function<void()>& drain)
{
    const long per_thread = total / threads;
    std::vector<std::vector<uint32_t>> cost(static_cast<size_t>(threads));
    for (auto& c : cost)
        c.resize(static_cast<size_t>(per_thread));
    std::atomic<uint64_t> caller_allocs{0};
    std::atomic<uint64_t> caller_cpu{0};
    std::mutex lock;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;

    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            std::vector<uint32_t>& mine = cost[static_cast<size_t>(t)];
            {
                std::unique_lock<std::mutex> g(lock);
                ++ready;
                cv.notify_all();
                cv.wait(g, [&] { return go; });
            }
            const uint64_t allocs_before = benchalloc::thread_count();
            const uint64_t cpu_before = cpu_ns(RUSAGE_THREAD);
            for (long i = 0; i < per_thread; ++i) {
                const uint64_t t0 = now_ns();
                record(static_cast<unsigned>(i));
                const uint64_t t1 = now_ns();
                mine[static_cast<size_t>(i)] = static_cast<uint32_t>(std::min<uint64_t>(t1 - t0, UINT32_MAX));
            }
            caller_cpu += cpu_ns(RUSAGE_THREAD) - cpu_before;
            caller_allocs += benchalloc::thread_count() - allocs_before;
        });
    }
    {
        std::unique_lock<std::mutex> g(lock);
        cv.wait(g, [&] { return ready == threads; });
    }
    const uint64_t process_allocs_before = benchalloc::total_count();
    const uint64_t process_cpu_before = cpu_ns(RUSAGE_SELF);
    const uint64_t started = now_ns();
    {
        std::lock_guard<std::mutex> g(lock);
        go = true;
    }
    cv.notify_all();
    for (std::thread& p : producers)
        p.join();
    drain();
    const uint64_t drained = now_ns();
    const uint64_t process_cpu = cpu_ns(RUSAGE_SELF) - process_cpu_before;
    const uint64_t process_allocs = benchalloc::total_count() - process_allocs_before;

    std::vector<uint32_t> all;
    all.reserve(static_cast<size_t>(per_thread * threads));
    for (const auto& c : cost)
        all.insert(all.end(), c.begin(), c.end());
    const long n = static_cast<long>(all.size());
    RunResult r;
    r.p50_ns = measure::percentile(all, 0.50);
    r.p99_ns = measure::percentile(all, 0.99);
    r.max_ns = static_cast<double>(*std::max_element(all.begin(), all.end()));
    count_lines(path, &r.lines, &r.bytes);
    r.seconds = static_cast<double>(drained - started) / 1e9;
    r.records_per_s = static_cast<double>(r.lines) / r.seconds;
    r.caller_cpu_ns_per_record = static_cast<double>(caller_cpu.load()) / static_cast<double>(n);
    r.process_cpu_ns_per_record = static_cast<double>(process_cpu) / static_cast<double>(n);
    r.caller_allocs_per_record = static_cast<double>(caller_allocs.load()) / static_cast<double>(n);
    r.process_allocs_per_record = static_cast<double>(process_allocs) / static_cast<double>(n);
    std::remove(path.c_str());
    return r;
}

void report(benchmark::State& state, const RunResult& r, long records)
{
    state.counters["p50_ns"] = r.p50_ns;
    state.counters["p99_ns"] = r.p99_ns;
    state.counters["max_ns"] = r.max_ns;
    state.counters["records_per_s"] = r.records_per_s;
    state.counters["records"] = static_cast<double>(records);
    state.counters["lines_in_file"] = static_cast<double>(r.lines);
    state.counters["bytes_per_line"] = r.lines ? static_cast<double>(r.bytes) / static_cast<double>(r.lines) : 0;
    state.counters["caller_cpu_ns_per_record"] = r.caller_cpu_ns_per_record;
    state.counters["process_cpu_ns_per_record"] = r.process_cpu_ns_per_record;
    state.counters["caller_allocs_per_record"] = r.caller_allocs_per_record;
    state.counters["process_allocs_per_record"] = r.process_allocs_per_record;
}

// ---------------------------------------------------------------- this library

namespace ours {

void record_line(unsigned i)
{
    LOGREC(LOG_INFO) << kExchangeName << ": packet accepted, status " << (i & 7u) << ", length " << (i & 0xFFFFu);
}

}  // namespace ours

RunResult run_ours(int threads, long records)
{
    const std::string path = file_in_run_dir("ours.log");
    if (!ConfigureFile(path))
        return RunResult();
    el::set_logging(true);
    return run(threads, records, path, ours::record_line, [] {
        CloseLog();
        el::set_logging(false);
    });
}

// ---------------------------------------------------------------- spdlog

namespace spd {

std::shared_ptr<spdlog::async_logger> g_logger;

void record_line(unsigned i)
{
    g_logger->info("[{}:{}] {}: packet accepted, status {}, length {}", __func__, __LINE__, kExchangeName, i & 7u,
                   i & 0xFFFFu);
}

}  // namespace spd

RunResult run_spdlog(int threads, long records)
{
    const std::string path = file_in_run_dir("spdlog.log");
    // The library's queue holds 4 MiB of lines: as many lines of this length.
    const size_t queue_items = AsyncWriter::kDefaultQueueLimit / kLineBytes;
    auto pool = std::make_shared<spdlog::details::thread_pool>(queue_items, 1);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
    spd::g_logger =
        std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::overrun_oldest);
    spd::g_logger->set_pattern("%d/%m/%Y %H:%M:%S [LOG_INFO>  ] %v");
    spd::g_logger->set_level(spdlog::level::trace);
    sink.reset();
    return run(threads, records, path, spd::record_line, [&pool] {
        // The pool drains its queue before its thread ends; the last
        // reference to the logger (and so to the file) goes with it.
        spd::g_logger.reset();
        pool.reset();
    });
}

// ---------------------------------------------------------------- the runs

using Runner = RunResult (*)(int threads, long records);

// The caller's cost: every record of the run timed at the caller, from
// state.range(0) threads.  Once the writer falls behind, the queue drops
// lines (lines_in_file tells how many arrived).
void BM_CallerCost(benchmark::State& state, Runner runner)
{
    const long records = records_per_run();
    RunResult r;
    for (auto _ : state)
        r = runner(static_cast<int>(state.range(0)), records);
    if (r.lines == 0)
        state.SkipWithError("nothing reached the file");
    report(state, r, records);
}
BENCHMARK_CAPTURE(BM_CallerCost, ours, run_ours)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CallerCost, spdlog, run_spdlog)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Throughput: bursts of records that fit the queue, from one thread, each
// timed from its first record until the file is drained and closed; no line
// is dropped, so records per second are those that reached the disk.  On a
// shared machine other processes take the CPU for part of a burst: the
// fastest burst is the figure, with the CPU time per record beside it.
constexpr long kBurst = 30000;  // 3.6 MB of lines: within the 4 MiB queue
static_assert(kBurst * kLineBytes < AsyncWriter::kDefaultQueueLimit, "a burst fits the queue");

void BM_Throughput(benchmark::State& state, Runner runner)
{
    const long bursts = std::max(3L, records_per_run() / 3 / kBurst);
    RunResult total;
    double best = 0;
    for (auto _ : state) {
        for (long b = 0; b < bursts; ++b) {
            RunResult r = runner(1, kBurst);
            total.lines += r.lines;
            total.process_cpu_ns_per_record += r.process_cpu_ns_per_record / static_cast<double>(bursts);
            best = std::max(best, r.records_per_s);
        }
    }
    state.counters["records_per_s"] = best;
    state.counters["process_cpu_ns_per_record"] = total.process_cpu_ns_per_record;
    state.counters["records"] = static_cast<double>(bursts * kBurst);
    state.counters["lines_in_file"] = static_cast<double>(total.lines);
    if (total.lines != static_cast<uint64_t>(bursts * kBurst))
        state.SkipWithError("lines were dropped within a burst that fits the queue");
}
BENCHMARK_CAPTURE(BM_Throughput, ours, run_ours)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Throughput, spdlog, run_spdlog)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------- hex dumps

const char FS = '\x1C';

// A purchase's final response as the terminal sends it, card number masked,
// with a line of receipt text: about 250 bytes.
std::string final_response()
{
    std::string m = "PUR12.00";
    for (const char* field : {"01", "57", "000000001234", "000000000000", "444433******1111", "1227JOHN",
                              "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01", "000000051000004567",
                              "123456789012", "VISA CLASSIC", "TERM0001",
                              "SALE 12.34 EUR  APPROVED  CARDHOLDER COPY  PLEASE RETAIN THIS RECEIPT",
                              "0000000000000000000000000000000000000000000000000000"})
        m += FS + std::string(field);
    return m;
}

// A largest frame: 16 KiB of a receipt-like text, STX to the check byte.
std::string largest_frame()
{
    std::string m = "GTL11.";
    for (int i = 0; m.size() < 16384 - 3; ++i)
        m += i % 40 == 39 ? '\n' : static_cast<char>('A' + i % 26);
    return '\x02' + m + '\x03' + '\0';
}

// File size, 0 when it cannot be read.
uint64_t file_size(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Waits (untimed) until the writer has brought the file to size bytes;
// returns the CPU time the waiting took on this thread.
uint64_t wait_for_file(const std::string& path, uint64_t size)
{
    const uint64_t before = cpu_ns(RUSAGE_THREAD);
    while (file_size(path) < size)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cpu_ns(RUSAGE_THREAD) - before;
}

// state.range(0) == 1: the writer is left idle after each dump (it catches up
// and goes back to sleep), so every dump costs a writer pass of its own.
void BM_Dump(benchmark::State& state, std::string (*make)())
{
    const std::string bytes = make();
    const unsigned int size = static_cast<unsigned int>(bytes.size());
    const bool alone = state.range(0) == 1;
    const std::string path = file_in_run_dir("dump.log");
    el::set_logging(false);
    if (!ConfigureFile(path)) {
        state.SkipWithError("the log file cannot be opened");
        return;
    }
    el::set_logging(true);
    // One dump's bytes in the file.
    LOGDUMP(bytes.data(), size, "Received from terminal");
    for (int i = 0; i < 1000 && file_size(path) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t per_dump = file_size(path);
    // Back to back, the writer is let catch up after 256 KiB of dumps, so
    // that no dump is dropped and the queue's buffers keep their size.
    const uint64_t batch = alone ? 1 : std::max<uint64_t>(1, (256u << 10) / per_dump);
    uint64_t written = 1, pending = 0, waiting_cpu = 0;
    const uint64_t allocs_before = benchalloc::thread_count();
    const uint64_t cpu_before = cpu_ns(RUSAGE_SELF);
    for (auto _ : state) {
        LOGDUMP(bytes.data(), size, "Received from terminal");
        if (++pending == batch) {
            state.PauseTiming();
            written += pending;
            pending = 0;
            waiting_cpu += wait_for_file(path, written * per_dump);
            state.ResumeTiming();
        }
    }
    written += pending;
    waiting_cpu += wait_for_file(path, written * per_dump);
    const uint64_t process_cpu = cpu_ns(RUSAGE_SELF) - cpu_before - waiting_cpu;
    const uint64_t allocs = benchalloc::thread_count() - allocs_before;
    el::set_logging(false);
    CloseLog();
    const double dumps = static_cast<double>(state.iterations());
    state.counters["dump_bytes"] = static_cast<double>(per_dump);
    state.counters["caller_allocs_per_dump"] = static_cast<double>(allocs) / dumps;
    state.counters["process_cpu_ns_per_dump"] = static_cast<double>(process_cpu) / dumps;
    if (file_size(path) != written * per_dump)
        state.SkipWithError("dumps were lost");
    std::remove(path.c_str());
}
// (The benchmark's own waiting for the file is left out of the process CPU.)
BENCHMARK_CAPTURE(BM_Dump, final_response, final_response)->ArgName("writer_idle")->Arg(0);
BENCHMARK_CAPTURE(BM_Dump, final_response, final_response)->ArgName("writer_idle")->Arg(1)->Iterations(300);
BENCHMARK_CAPTURE(BM_Dump, frame_16k, largest_frame)->ArgName("writer_idle")->Arg(0);
BENCHMARK_CAPTURE(BM_Dump, frame_16k, largest_frame)->ArgName("writer_idle")->Arg(1)->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
