// ecrsim: a card-payment terminal simulator for the cash-register library.
// Listens on TCP, UDP or a pseudo-terminal and answers every request the way
// a terminal does, or plays back the terminal's side of a recorded log.
#include "ecrsim/control.h"
#include "ecrsim/engine.h"
#include "ecrsim/link.h"
#include "ecrsim/replay.h"
#include "compat/compat.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::atomic<bool> g_stop(false);

void on_signal(int) { g_stop.store(true); }

void usage(FILE* out)
{
    std::fputs(
        "usage: ecrsim [--tcp [HOST:]PORT | --udp [HOST:]PORT | --pty] [options]\n"
        "  --tcp [HOST:]PORT   listen for the cash register on TCP (default 127.0.0.1:2000)\n"
        "  --udp [HOST:]PORT   answer datagrams on UDP\n"
        "  --pty               open a pseudo-terminal and print its path (a serial line)\n"
        "  --code NN           response code of payments (default 00, approved)\n"
        "  --delay-ms N        pause before the final response of a payment\n"
        "  --wait-notice MIN   send a wait notice of MIN minutes during each payment\n"
        "  --sms TEXT          send TEXT as a message for the cash desk during each payment\n"
        "  --fault KIND        bad-lrc | drop-ack | silence | close\n"
        "  --pan DIGITS        card number the terminal reports in full (13..19 digits);\n"
        "                      the journal and every output keep it masked\n"
        "  --once              exit after one connection (UDP: after a quiet second)\n"
        "  --replay LOGFILE    play the terminal's side of the exchange recorded in LOGFILE\n"
        "  --control [HOST:]PORT  serve the control API and the browser console over HTTP\n"
        "                      (HOST defaults to 127.0.0.1; see ecrsim(1))\n"
        "  --chaos SEED        inject faults at random steps, drawn from SEED alone\n"
        "                      (each is written to stderr with its kind and operation)\n"
        "  --chaos-rate R      the chance of a fault at each step, 0..1 (default 0.2)\n"
        "  --no-magic          amounts choose nothing (see below)\n"
        "  --verbose           describe every request on stderr\n"
        "  -h, --help          print this and exit\n",
        out);
    std::fputs("\nMagic amounts choose a payment's course (amounts below 7000.00 never do):\n", out);
    for (const ecrsim::MagicRow& row : ecrsim::magic_table()) {
        std::fprintf(out, "  %-9s ", row.amounts);
        for (const char* p = row.outcome; *p != '\0'; ++p)
            std::fputs(*p == '\n' ? "\n            " : std::string(1, *p).c_str(), out);
        std::fputc('\n', out);
    }
}

bool parse_endpoint(const std::string& text, std::string* host, uint16_t* port)
{
    std::string p = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        *host = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(p.c_str(), nullptr, 10);
    if (v > 65535)
        return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

bool parse_uint(const char* text, unsigned long max, unsigned long* out)
{
    if (text == nullptr || *text == '\0' || std::strspn(text, "0123456789") != std::strlen(text))
        return false;
    *out = std::strtoul(text, nullptr, 10);
    return *out <= max;
}

}  // namespace

int main(int argc, char** argv)
{
    ecrsim::LinkKind kind = ecrsim::LinkKind::Tcp;
    std::string host = "127.0.0.1";
    uint16_t port = 2000;
    ecrsim::Options opt;
    bool once = false, verbose = false;
    std::string replay;
    std::string control_host = "127.0.0.1";
    uint16_t control_port = 0;
    bool control = false;
    bool chaos_on = false;
    unsigned long long chaos_seed = 0;
    double chaos_rate = 0.2;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long v = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--tcp" || a == "--udp") {
            kind = a == "--tcp" ? ecrsim::LinkKind::Tcp : ecrsim::LinkKind::Udp;
            if (next == nullptr || !parse_endpoint(next, &host, &port)) {
                std::fprintf(stderr, "ecrsim: %s needs [HOST:]PORT\n", a.c_str());
                return 2;
            }
            ++i;
        } else if (a == "--pty") {
            kind = ecrsim::LinkKind::Pty;
        } else if (a == "--code") {
            if (next == nullptr || std::strlen(next) != 2 || std::strspn(next, "0123456789") != 2) {
                std::fprintf(stderr, "ecrsim: --code needs two digits\n");
                return 2;
            }
            opt.code = next;
            ++i;
        } else if (a == "--delay-ms") {
            if (!parse_uint(next, 3600000, &v)) {
                std::fprintf(stderr, "ecrsim: --delay-ms needs milliseconds\n");
                return 2;
            }
            opt.delay_ms = static_cast<unsigned>(v);
            ++i;
        } else if (a == "--wait-notice") {
            if (!parse_uint(next, 99, &v)) {
                std::fprintf(stderr, "ecrsim: --wait-notice needs minutes 0..99\n");
                return 2;
            }
            opt.wait_notice_min = static_cast<int>(v);
            ++i;
        } else if (a == "--sms") {
            if (next == nullptr || std::strchr(next, 0x1C) != nullptr || std::strlen(next) > 200) {
                std::fprintf(stderr, "ecrsim: --sms needs a text\n");
                return 2;
            }
            opt.sms = ecrsim::to_cp1251(next);
            ++i;
        } else if (a == "--fault") {
            if (next == nullptr || !ecrsim::parse_fault(next, &opt.fault)) {
                std::fprintf(stderr, "ecrsim: --fault is bad-lrc, drop-ack, silence or close\n");
                return 2;
            }
            ++i;
        } else if (a == "--pan") {
            if (next == nullptr || std::strlen(next) < 13 || std::strlen(next) > 19 ||
                std::strspn(next, "0123456789") != std::strlen(next)) {
                std::fprintf(stderr, "ecrsim: --pan needs 13 to 19 digits\n");
                return 2;
            }
            opt.pan = next;
            ++i;
        } else if (a == "--once") {
            once = true;
        } else if (a == "--replay") {
            if (next == nullptr) {
                std::fprintf(stderr, "ecrsim: --replay needs a log file\n");
                return 2;
            }
            replay = next;
            ++i;
        } else if (a == "--control") {
            if (next == nullptr || !parse_endpoint(next, &control_host, &control_port)) {
                std::fprintf(stderr, "ecrsim: --control needs [HOST:]PORT\n");
                return 2;
            }
            control = true;
            ++i;
        } else if (a == "--chaos") {
            char* end = nullptr;
            if (next == nullptr || *next == '\0' || std::strspn(next, "0123456789") != std::strlen(next) ||
                (chaos_seed = std::strtoull(next, &end, 10), *end != '\0')) {
                std::fprintf(stderr, "ecrsim: --chaos needs a seed (a whole number)\n");
                return 2;
            }
            chaos_on = true;
            ++i;
        } else if (a == "--chaos-rate") {
            char* end = nullptr;
            if (next == nullptr || (chaos_rate = std::strtod(next, &end), end == next || *end != '\0') ||
                !(chaos_rate >= 0.0 && chaos_rate <= 1.0)) {
                std::fprintf(stderr, "ecrsim: --chaos-rate needs a number from 0 to 1\n");
                return 2;
            }
            ++i;
        } else if (a == "--no-magic") {
            opt.magic = false;
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else {
            std::fprintf(stderr, "ecrsim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    if (chaos_on && !replay.empty()) {
        std::fprintf(stderr, "ecrsim: --chaos does not go with --replay\n");
        return 2;
    }
    if (control && !replay.empty()) {
        std::fprintf(stderr, "ecrsim: --control does not go with --replay\n");
        return 2;
    }
    std::vector<ecrsim::ReplayStep> steps;
    if (!replay.empty()) {
        std::string err;
        if (!ecrsim::load_replay(replay, &steps, &err)) {
            std::fprintf(stderr, "ecrsim: %s\n", err.c_str());
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string err;
    std::unique_ptr<ecrsim::ServerLink> link = ecrsim::ServerLink::open(kind, host, port, &err);
    if (!link) {
        std::fprintf(stderr, "ecrsim: %s\n", err.c_str());
        return 1;
    }
    ecrsim::Director director(ecrsim::Engine::plan_of(opt), opt.magic);
    ecrsim::Engine engine(opt, director);
    std::unique_ptr<ecrsim::Chaos> chaos;
    if (chaos_on) {
        chaos.reset(new ecrsim::Chaos(chaos_seed, chaos_rate, kind));
        chaos->set_log([](const std::string& line) { std::fprintf(stderr, "ecrsim: %s\n", line.c_str()); });
        engine.set_chaos(chaos.get());
    }
    std::unique_ptr<ecrsim::ControlServer> server;
    if (control) {
        server = ecrsim::ControlServer::start(control_host, control_port, engine, director, &err);
        if (!server) {
            std::fprintf(stderr, "ecrsim: %s\n", err.c_str());
            return 1;
        }
        std::printf("ecrsim control on %s\n", server->url().c_str());
    }
    std::printf("ecrsim listening on %s\n", link->describe().c_str());
    std::fflush(stdout);

    if (!steps.empty()) {
        size_t at = 0;
        for (;;) {
            if (!link->wait_peer(-1, &g_stop))
                return 1;
            ecrsim::ReplayResult r = ecrsim::play_replay(steps, *link, &g_stop, 60000, at);
            for (const std::string& n : r.notes)
                std::fprintf(stderr, "ecrsim: replay: %s\n", n.c_str());
            at = r.steps_done;
            if (r.completed) {
                std::fprintf(stderr, "ecrsim: replay: all %zu steps played\n", steps.size());
                Sleep(200);  // let the last bytes leave before the link closes
                return 0;
            }
            if (!r.peer_gone || g_stop.load())
                return 1;
            link->drop_peer();
        }
    }

    if (verbose)
        engine.set_trace([](const std::string& line) { std::fprintf(stderr, "ecrsim: %s\n", line.c_str()); });
    while (!g_stop.load()) {
        if (!link->wait_peer(-1, &g_stop))
            break;
        director.count_connection();
        const unsigned idle = once && kind == ecrsim::LinkKind::Udp ? 1000 : 0;
        const ecrsim::Engine::End end = engine.serve(*link, &g_stop, idle);
        if (end == ecrsim::Engine::End::Stopped)
            break;
        link->drop_peer();
        if (once)
            break;
    }
    return 0;
}
