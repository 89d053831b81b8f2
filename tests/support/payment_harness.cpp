#include "payment_harness.h"

#include <chrono>
#include <thread>

#include "VarkoClass2017/VarkoClass2017.h"
#include "compat/compat.h"
#include "ecrbridge.h"
#include "ecrbridge/operation_thread.h"

namespace support {

Recorder& Recorder::instance()
{
    static Recorder recorder;
    return recorder;
}

void Recorder::install()
{
    clear();
    OnTrxComplete(&Recorder::on_trx);
    OnMsgReceived(&Recorder::on_msg);
}

void Recorder::clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_completions.clear();
    m_messages.clear();
}

bool Recorder::wait_for(size_t n, unsigned timeout_ms)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_completions.size() >= n; });
}

std::vector<Completion> Recorder::completions()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_completions;
}

std::vector<std::string> Recorder::messages()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_messages;
}

void Recorder::on_trx(unsigned long result)
{
    Completion c{result, std::this_thread::get_id(), GetTickCount(), OnTRX()};
    Recorder& r = instance();
    {
        std::lock_guard<std::mutex> lock(r.m_lock);
        r.m_completions.push_back(c);
    }
    r.m_cv.notify_all();
}

void Recorder::on_msg(char const* text)
{
    Recorder& r = instance();
    std::lock_guard<std::mutex> lock(r.m_lock);
    r.m_messages.push_back(text != nullptr ? text : "(null)");
}

CVarkoClass2017* fresh_object()
{
    destroy_object(create_object());
    CVarkoClass2017* ecr = create_object();
    Recorder::instance().install();
    return ecr;
}

int open_to(sim::Terminal& terminal)
{
    char loopback[] = "127.0.0.1";
    switch (terminal.link()) {
    case sim::Link::Tcp:
        put_TransportType(ECR_TRANSPORT_TCP);
        put_PosIP(loopback);
        put_PosPort(terminal.port());
        break;
    case sim::Link::Udp:
        put_TransportType(ECR_TRANSPORT_UDP);
        put_PosIP(loopback);
        put_PosPort(terminal.port());
        break;
    case sim::Link::Pty: {
        put_TransportType(ECR_TRANSPORT_SERIAL);
        std::string path = terminal.tty_path();
        put_UnixTTY(&path[0]);
        break;
    }
    }
    return PosOpen(0);
}

void script_request(sim::Terminal& t, const std::string& request, const std::string& first)
{
    t.expect_frame(request).send_ack().send_frame(first).expect_ack();
}

void script_final(sim::Terminal& t, const std::string& final_msg, const std::string& confirm)
{
    t.send_frame(final_msg).expect_ack().expect_frame(confirm, 20000).send_ack();
}

void script_refused(sim::Terminal& t, const std::string& request, const std::string& wrong_answer)
{
    t.expect_frame(request).send_ack().send_frame(wrong_answer);
}

void script_cancelled(sim::Terminal& t, const std::string& request, const std::string& first)
{
    script_request(t, request, first);
    t.pause(200).step([](sim::Terminal&) { CancelTransaction(); });
    if (t.link() != sim::Link::Pty)
        t.send_frame(msg({"SMS10.PLEASE WAIT", "0"}));
}

bool wait_cancel_message(const sim::Terminal& t, unsigned n)
{
    if (t.link() == sim::Link::Pty)
        return true;
    for (unsigned waited = 0; waited <= 5000; waited += 5) {
        unsigned sent = 0;
        for (const sim::Event& e : t.events())
            sent += e.kind == sim::Event::SentFrame && e.data.compare(0, 3, "SMS") == 0;
        if (sent >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void drain()
{
    TheOperationThread().wait_idle();
}

int close_and_release()
{
    drain();
    const int closed = PosClose();
    destroy_object(create_object());
    return closed;
}

std::vector<std::string> frames(const sim::Terminal& t)
{
    return t.frames_received();
}

uint64_t event_time(const sim::Terminal& t, int kind, const std::string& prefix)
{
    for (const sim::Event& e : t.events())
        if (e.kind == kind && e.data.compare(0, prefix.size(), prefix) == 0)
            return e.at_ms;
    return 0;
}

}  // namespace support
