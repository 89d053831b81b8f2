// Whole purchases through the exported functions against the simulated
// terminal, which answers every frame at once: the time from PosPurchase to
// the completion callback against the pauses the protocol mandates (100 ms
// before the ACK of the final response, 5000 ms before its confirmation),
// and the CPU time the library spends on one purchase.
//
// One benchmark per link (TCP, UDP, pseudo-terminal) and logging state; each
// runs ECR_BENCH_PURCHASES purchases (default 5; 20 for the full figure).
// One process holds one ECR object, so the links run concurrently only as
// separate processes (tools/bench.sh runs one process per link).
//
// The floor is measured in the same run: while each purchase runs, another
// thread sleeps the mandated 100 ms and 5000 ms with the library's own sleep.
// CPU per purchase is the process's CPU time (every thread of the library,
// the log writer included) minus that of the simulator's thread and of the
// floor's; beside it, the CPU time of the operation thread alone.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compat/compat.h"
#include "ecrbridge.h"
#include "measure.h"
#include "run_size.h"
#include "sim/payment_script.h"
#include "sim/terminal.h"

namespace {

constexpr unsigned kAckPauseMs = 100;
constexpr unsigned kConfirmPauseMs = 5000;
const char FS = '\x1C';

using measure::cpu_ns;
using measure::now_ns;

int purchases_per_run()
{
    return static_cast<int>(measure::run_size("ECR_BENCH_PURCHASES", 5));
}

std::string join(const std::vector<std::string>& parts)
{
    std::string out = parts[0];
    for (size_t i = 1; i < parts.size(); ++i)
        out += FS + parts[i];
    return out;
}

const std::string kFinalResponse =
    join({"PUR12.00", "01", "57", "000000001234", "000000000000", "444433******1111", "1227JOHN", "THANK YOU",
          "000321A1B2C30812153000BANK", "MERCHANT01", "000000051000004567", "123456789012", "VISA CLASSIC",
          "TERM0001"});

// The completion as the callback saw it.
struct Completion {
    std::mutex lock;
    std::condition_variable cv;
    int count = 0;
    uint64_t at_ns = 0;
    uint64_t thread_cpu_ns = 0;  // the operation thread's CPU time when it completed
    unsigned long result = 0;
} g_done;

void on_complete(unsigned long result)
{
    const uint64_t at = now_ns();
    const uint64_t cpu = cpu_ns(RUSAGE_THREAD);
    std::lock_guard<std::mutex> g(g_done.lock);
    g_done.at_ns = at;
    g_done.thread_cpu_ns = cpu;
    g_done.result = result;
    ++g_done.count;
    g_done.cv.notify_all();
}

int open_to(sim::Terminal& terminal)
{
    char loopback[] = "127.0.0.1";
    if (terminal.link() == sim::Link::Pty) {
        put_TransportType(ECR_TRANSPORT_SERIAL);
        std::string path = terminal.tty_path();
        put_UnixTTY(&path[0]);
    } else {
        put_TransportType(terminal.link() == sim::Link::Tcp ? ECR_TRANSPORT_TCP : ECR_TRANSPORT_UDP);
        put_PosIP(loopback);
        put_PosPort(terminal.port());
    }
    return PosOpen(0);
}

void BM_Purchase(benchmark::State& state, sim::Link link, bool logging)
{
    const int n = purchases_per_run();
    const char* link_name = link == sim::Link::Tcp ? "tcp" : link == sim::Link::Udp ? "udp" : "pty";
    const std::string log_dir = std::string("purchase_bench_logs_") + link_name;
    ::mkdir(log_dir.c_str(), 0700);

    std::vector<double> extra_ms, floor_ms, latency_ms, thread_cpu_ms;
    uint64_t library_cpu = 0, wall = 0;
    for (auto _ : state) {
        put_EcrLogging(logging ? 1 : 0);
        if (logging)
            put_EcrLogingPath(log_dir.c_str());
        OnTrxComplete(on_complete);

        sim::Terminal terminal(link);
        uint64_t sim_cpu_start = 0, sim_cpu_end = 0;
        terminal.step([&](sim::Terminal&) { sim_cpu_start = cpu_ns(RUSAGE_THREAD); });
        sim::Payment p;
        p.request_prefix = "PUR10.";
        p.first_answer = "PUR11.";
        p.final_response = kFinalResponse;
        p.confirmation = "PUR13.";
        p.gap_ms = 0;
        for (int i = 0; i < n; ++i)
            sim::queue_payment(terminal, p);
        terminal.step([&](sim::Terminal&) { sim_cpu_end = cpu_ns(RUSAGE_THREAD); });
        terminal.start();
        if (open_to(terminal) != 0) {
            state.SkipWithError("PosOpen failed");
            return;
        }

        uint64_t floor_cpu = 0;  // the floor threads' own CPU time, not the library's
        const uint64_t cpu_start = cpu_ns(RUSAGE_SELF);
        const uint64_t wall_start = now_ns();
        for (int i = 0; i < n; ++i) {
            uint64_t floor_ns = 0;
            std::thread floor([&floor_ns, &floor_cpu] {
                const uint64_t t0 = now_ns();
                Sleep(kAckPauseMs);
                Sleep(kConfirmPauseMs);
                floor_ns = now_ns() - t0;
                floor_cpu += cpu_ns(RUSAGE_THREAD);
            });
            const uint64_t started = now_ns();
            PosPurchase(12.34, 0);
            uint64_t done_at, thread_cpu;
            unsigned long result;
            {
                std::unique_lock<std::mutex> g(g_done.lock);
                if (!g_done.cv.wait_for(g, std::chrono::seconds(60), [&] { return g_done.count == i + 1; })) {
                    floor.join();
                    state.SkipWithError("no completion within 60 s");
                    return;
                }
                done_at = g_done.at_ns;
                thread_cpu = g_done.thread_cpu_ns;
                result = g_done.result;
            }
            floor.join();
            char rrn[16] = {};
            if (result != 0 || get_LastTrxRRN(rrn) != 0 || std::string(rrn) != "123456789012") {
                state.SkipWithError("the purchase was not approved");
                return;
            }
            latency_ms.push_back(static_cast<double>(done_at - started) / 1e6);
            floor_ms.push_back(static_cast<double>(floor_ns) / 1e6);
            extra_ms.push_back(latency_ms.back() - floor_ms.back());
            thread_cpu_ms.push_back(static_cast<double>(thread_cpu) / 1e6);
        }
        if (!terminal.wait_done(10000) || !terminal.errors().empty()) {
            state.SkipWithError("the terminal's script did not run as written");
            return;
        }
        wall = now_ns() - wall_start;
        library_cpu = cpu_ns(RUSAGE_SELF) - cpu_start - (sim_cpu_end - sim_cpu_start) - floor_cpu;
        PosClose();
        std::lock_guard<std::mutex> g(g_done.lock);
        g_done.count = 0;
    }
    state.counters["purchases"] = n;
    state.counters["latency_median_ms"] = measure::percentile(latency_ms, 0.5);
    state.counters["floor_median_ms"] = measure::percentile(floor_ms, 0.5);
    state.counters["extra_median_ms"] = measure::percentile(extra_ms, 0.5);
    state.counters["extra_max_ms"] = *std::max_element(extra_ms.begin(), extra_ms.end());
    state.counters["cpu_ms_per_purchase"] = static_cast<double>(library_cpu) / 1e6 / n;
    state.counters["operation_thread_cpu_ms"] = measure::percentile(thread_cpu_ms, 0.5);
    state.counters["cpu_percent_of_core"] = 100.0 * static_cast<double>(library_cpu) / static_cast<double>(wall);
}

BENCHMARK_CAPTURE(BM_Purchase, tcp_logging_on, sim::Link::Tcp, true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Purchase, tcp_logging_off, sim::Link::Tcp, false)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Purchase, udp_logging_on, sim::Link::Udp, true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Purchase, udp_logging_off, sim::Link::Udp, false)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Purchase, pty_logging_on, sim::Link::Pty, true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Purchase, pty_logging_off, sim::Link::Pty, false)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
