// A long run of the library in one process, against a terminal simulator:
// pings, service calls, purchases, cancels, interrupts and reopens in turn,
// with the process's descriptors, threads, resident memory and the log
// writer's queue sampled at a fixed period.  At the end it prints the
// samples, a least-squares fit of each against time, and a verdict: flat,
// or growing (exit 1).
//
//   ecrsoak --tcp HOST:PORT [--minutes M] [--sample-seconds S] [--log-dir DIR]
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logging/log_internal.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "ecrbridge.h"
#include "ecrbridge/instance.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double minute;
    double fds, threads, rss_kib, queue_bytes;
};

double count_fds()
{
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    double n = 0;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

// A "Name:   value" line of /proc/self/status.
double status_value(const char* name)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    double v = -1;
    const size_t n = std::strlen(name);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, name, n) == 0 && line[n] == ':')
            v = std::atof(line + n + 1);
    std::fclose(f);
    return v;
}

Sample take_sample(Clock::time_point start)
{
    return {std::chrono::duration<double>(Clock::now() - start).count() / 60.0, count_fds(), status_value("Threads"),
            status_value("VmRSS"), static_cast<double>(el::detail::QueuedBytes())};
}

// Slope of y against the sample times, per minute.
double slope(const std::vector<Sample>& s, double Sample::*y)
{
    double mx = 0, my = 0;
    for (const Sample& p : s) {
        mx += p.minute;
        my += p.*y;
    }
    mx /= static_cast<double>(s.size());
    my /= static_cast<double>(s.size());
    double num = 0, den = 0;
    for (const Sample& p : s) {
        num += (p.minute - mx) * (p.*y - my);
        den += (p.minute - mx) * (p.minute - mx);
    }
    return den > 0 ? num / den : 0;
}

std::mutex g_lock;
std::condition_variable g_done_cv;
unsigned long g_completions = 0;

void on_complete(unsigned long) 
{
    std::lock_guard<std::mutex> lock(g_lock);
    ++g_completions;
    g_done_cv.notify_all();
}

struct Counts {
    unsigned long pings = 0, services = 0, purchases = 0, cancels = 0, interrupts = 0, reopens = 0, failures = 0;
};

// One operation of the mix; false when the library refused it.
bool run_step(unsigned i, Counts& c)
{
    CVarkoClass2017* ecr = GetInstanse();
    unsigned long r = 0;
    char text[256];
    switch (i % 6) {
    case 0:
        ++c.reopens;
        PosClose();
        return PosOpen(0) == 0;
    case 1:
        ++c.pings;
        return ecr->PosPing(&r) == 0;
    case 2:
        ++c.services;
        return PosTSN(text) == 0;
    case 3:
        ++c.purchases;
        return ecr->PosPurchase(12.34, 0, &r) == 0;
    case 4: {
        ++c.cancels;
        std::thread stop([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            CancelTransaction();
        });
        const bool ok = ecr->PosPurchase(1.00, 0, &r) == 0;
        stop.join();
        return ok;
    }
    default: {
        ++c.interrupts;
        std::thread stop([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            PosInterruptTrx();
        });
        const bool ok = PosPurchaseInterrupt(2.00, 0, &r) == 0;
        stop.join();
        return ok;
    }
    }
}

struct Limit {
    const char* name;
    double Sample::*field;
    double allowed;  // growth over the whole run that still counts as flat
};

}  // namespace

int main(int argc, char** argv)
{
    std::string host, log_dir = ".";
    int port = 0;
    double minutes = 30, sample_seconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], val = argv[i + 1];
        if (opt == "--tcp") {
            const size_t colon = val.rfind(':');
            host = val.substr(0, colon);
            port = colon == std::string::npos ? 2000 : std::atoi(val.c_str() + colon + 1);
        } else if (opt == "--minutes") {
            minutes = std::atof(val.c_str());
        } else if (opt == "--sample-seconds") {
            sample_seconds = std::atof(val.c_str());
        } else if (opt == "--log-dir") {
            log_dir = val;
        } else {
            std::fprintf(stderr, "ecrsoak: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (host.empty() || port <= 0 || minutes <= 0 || sample_seconds <= 0) {
        std::fprintf(stderr, "usage: ecrsoak --tcp HOST:PORT [--minutes M] [--sample-seconds S] [--log-dir DIR]\n");
        return 2;
    }

    put_EcrLogingPath(log_dir.c_str());
    put_EcrLogging(1);
    ecrb_OnTrxComplete(on_complete);
    put_TransportType(ECR_TRANSPORT_TCP);
    put_PosIP(const_cast<char*>(host.c_str()));
    put_PosPort(port);
    if (PosOpen(0) != 0) {
        std::fprintf(stderr, "ecrsoak: cannot open the link to %s:%d\n", host.c_str(), port);
        return 2;
    }

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(static_cast<long long>(minutes * 60000));
    std::vector<Sample> samples;
    std::atomic<bool> over{false};
    std::mutex sample_lock;
    std::condition_variable sample_cv;
    std::thread sampler([&] {
        std::unique_lock<std::mutex> lock(sample_lock);
        // Samples at the period only: one taken after the link is closed
        // would read as a drop.
        do {
            samples.push_back(take_sample(start));
        } while (!sample_cv.wait_for(lock, std::chrono::milliseconds(static_cast<long long>(sample_seconds * 1000)),
                                     [&] { return over.load(); }));
    });

    Counts c;
    for (unsigned i = 1; Clock::now() < end; ++i)
        if (!run_step(i, c))
            ++c.failures;
    {
        std::lock_guard<std::mutex> lock(sample_lock);
        over = true;
    }
    sample_cv.notify_all();
    sampler.join();
    PosClose();

    std::printf("operations: %lu pings, %lu service calls, %lu purchases, %lu cancels, %lu interrupts, %lu reopens, "
                "%lu refused; %lu callbacks\n",
                c.pings, c.services, c.purchases, c.cancels, c.interrupts, c.reopens, c.failures, g_completions);
    std::printf("| minute | descriptors | threads | RSS KiB | log queue bytes |\n|---|---|---|---|---|\n");
    for (const Sample& s : samples)
        std::printf("| %.1f | %.0f | %.0f | %.0f | %.0f |\n", s.minute, s.fds, s.threads, s.rss_kib, s.queue_bytes);

    const double span = samples.back().minute - samples.front().minute;
    const double rss0 = samples.front().rss_kib;
    const Limit limits[] = {{"descriptors", &Sample::fds, 0.5},
                            {"threads", &Sample::threads, 0.5},
                            {"RSS KiB", &Sample::rss_kib, rss0 * 0.05 > 1024 ? rss0 * 0.05 : 1024},
                            {"log queue bytes", &Sample::queue_bytes, 65536}};
    bool flat = samples.size() >= 3;
    std::printf("\n| measure | fitted growth over %.1f min | allowed | verdict |\n|---|---|---|---|\n", span);
    for (const Limit& l : limits) {
        const double growth = slope(samples, l.field) * span;
        const bool ok = growth <= l.allowed;
        flat = flat && ok;
        std::printf("| %s | %+.1f | %.1f | %s |\n", l.name, growth, l.allowed, ok ? "flat" : "GROWING");
    }
    if (samples.size() < 3)
        std::printf("too few samples to judge: run longer than two sample periods\n");
    std::printf("soak: %s\n", flat ? "flat" : "growing or not judged");
    return flat ? 0 : 1;
}
