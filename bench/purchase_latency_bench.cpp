// Time a whole purchase takes on each link against the simulated terminal,
// which answers at once, and how much of it is the library's own: the
// overhead above the pauses the protocol prescribes (100 ms before the ACK of
// the final response, 5000 ms before its confirmation).  Prints one line per
// link; run by hand:
//   cmake --preset bench && cmake --build build/bench --target purchase_latency_bench
//   build/bench/bench/purchase_latency_bench [purchases per link, default 3]
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "compat/compat.h"
#include "ecrbridge.h"
#include "sim/frame.h"
#include "sim/terminal.h"

namespace {

constexpr uint64_t kMandatedMs = 100 + 5000;

std::mutex g_lock;
std::condition_variable g_done;
bool g_completed = false;
uint64_t g_completed_at = 0;

void on_complete(unsigned long)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_completed = true;
    g_completed_at = GetTickCount();
    g_done.notify_all();
}

const char* name_of(sim::Link link) { return link == sim::Link::Tcp ? "TCP" : link == sim::Link::Udp ? "UDP" : "serial (pty)"; }

bool open_to(sim::Terminal& t)
{
    char loopback[] = "127.0.0.1";
    switch (t.link()) {
    case sim::Link::Tcp:
        put_TransportType(ECR_TRANSPORT_TCP);
        break;
    case sim::Link::Udp:
        put_TransportType(ECR_TRANSPORT_UDP);
        break;
    case sim::Link::Pty: {
        put_TransportType(ECR_TRANSPORT_SERIAL);
        std::string path = t.tty_path();
        put_UnixTTY(&path[0]);
        break;
    }
    }
    put_PosIP(loopback);
    put_PosPort(t.port());
    return PosOpen(0) == 0;
}

// One purchase: milliseconds from the call to the completion callback, or -1.
long purchase_ms(sim::Link link)
{
    sim::Terminal t(link);
    t.expect_frame("PUR10.").send_ack().send_frame("PUR11.").expect_ack();
    t.send_frame(sim::join_fields({"PUR12.00", "01", "57", "000000001234", "000000000000", "444433******1111",
                                   "1227JOHN", "THANK YOU", "000321A1B2C30812153000BANK", "MERCHANT01",
                                   "000000051000004567", "123456789012", "VISA CLASSIC", "TERM0001"}));
    t.expect_ack().expect_frame("PUR13.", 20000).send_ack();
    t.start();
    if (!open_to(t))
        return -1;
    // The simulator looks for a newly opened pseudo-terminal every 20 ms;
    // that is its delay, not the library's.
    Sleep(100);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_completed = false;
    }
    const uint64_t started = GetTickCount();
    PosPurchase(12.34, 0);
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_done.wait_for(lock, std::chrono::seconds(30), [] { return g_completed; }))
        return -1;
    const long took = static_cast<long>(g_completed_at - started);
    lock.unlock();
    t.wait_done(5000);
    PosClose();
    return t.errors().empty() ? took : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    OnTrxComplete(&on_complete);
    std::printf("%-13s %5s %12s %12s %12s %12s\n", "link", "runs", "median ms", "mandated ms", "overhead ms",
                "worst ms");
    for (sim::Link link : {sim::Link::Tcp, sim::Link::Udp, sim::Link::Pty}) {
        std::vector<long> times;
        for (int i = 0; i < runs; ++i) {
            const long ms = purchase_ms(link);
            if (ms < 0) {
                std::printf("%-13s purchase %d failed\n", name_of(link), i + 1);
                return 1;
            }
            times.push_back(ms);
        }
        std::sort(times.begin(), times.end());
        const long median = times[times.size() / 2];
        std::printf("%-13s %5d %12ld %12llu %12ld %12ld\n", name_of(link), runs, median,
                    static_cast<unsigned long long>(kMandatedMs), median - static_cast<long>(kMandatedMs),
                    times.back() - static_cast<long>(kMandatedMs));
    }
    destroy_object(create_object());
    return 0;
}
