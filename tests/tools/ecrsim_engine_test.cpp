// The simulator's engine in-process: exact bytes of its answers over a real
// loopback socket, its fault drills, the journal, the log replay parser fed
// with the library's own dump format, and ecrcli's text conversions.
#include "ecrcli/report.h"
#include "ecrsim/chaos.h"
#include "ecrsim/engine.h"
#include "ecrsim/link.h"
#include "ecrsim/replay.h"

#include "Logging/log.h"
#include "compat/compat.h"
#include "include/ecrbridge.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

const char kFs = 0x1C;
const std::string kAck(1, 0x06);

std::string frame(const std::string& msg)
{
    std::string f = "\x02" + msg + "\x03";
    char lrc = 0x03;
    for (char c : msg)
        lrc ^= c;
    return f + lrc;
}

// An engine serving one TCP link on a free loopback port, and the cash
// register's end of it as a plain socket.
class EngineRig {
public:
    explicit EngineRig(ecrsim::Options opt = ecrsim::Options()) : engine(opt)
    {
        std::string err;
        link = ecrsim::ServerLink::open(ecrsim::LinkKind::Tcp, "127.0.0.1", 0, &err);
        if (!link)
            throw std::runtime_error(err);
        server = std::thread([this] {
            if (link->wait_peer(10000, &stop))
                engine.serve(*link, &stop);
        });
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(link->port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect");
    }
    ~EngineRig()
    {
        stop.store(true);
        close(fd);
        server.join();
    }
    void send(const std::string& bytes) { ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size()); }
    // Everything that arrives until `quiet_ms` pass without a byte (or the peer closes).
    std::string read_until_quiet(unsigned quiet_ms, bool* closed = nullptr)
    {
        std::string out;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(quiet_ms)) <= 0)
                return out;
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed != nullptr)
                    *closed = true;
                return out;
            }
            out.append(buf, static_cast<size_t>(n));
        }
    }
    // Exactly n bytes within timeout_ms.
    std::string read_n(size_t n, unsigned timeout_ms = 3000)
    {
        std::string out;
        const uint64_t deadline = GetTickCount() + timeout_ms;
        while (out.size() < n && GetTickCount() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            const ssize_t r = recv(fd, buf, n - out.size() < sizeof buf ? n - out.size() : sizeof buf, 0);
            if (r <= 0)
                break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    // One frame: its message text (empty when none came).
    std::string read_frame(unsigned timeout_ms = 3000)
    {
        std::string head = read_n(1, timeout_ms);
        if (head != "\x02")
            return std::string();
        std::string msg;
        for (;;) {
            std::string c = read_n(1, timeout_ms);
            if (c.empty())
                return std::string();
            if (c[0] == 0x03)
                break;
            msg += c;
        }
        read_n(1, timeout_ms);  // check byte
        return msg;
    }

    ecrsim::Engine engine;
    std::unique_ptr<ecrsim::ServerLink> link;
    std::atomic<bool> stop{false};
    std::thread server;
    int fd = -1;
};

std::vector<std::string> fields_of(const std::string& msg)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : msg.substr(6)) {
        if (c == kFs) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

}  // namespace

// ---- exact bytes on the wire ----

TEST(EcrsimEngine, PingGetsItsAckAndFirstAnswerOnly)
{
    EngineRig rig;
    rig.send(frame("PNG10."));
    EXPECT_EQ(rig.read_n(1), kAck);
    EXPECT_EQ(rig.read_frame(), "PNG11.");
    rig.send(kAck);
    EXPECT_EQ(rig.read_until_quiet(600), "");  // no final response
    EXPECT_EQ(rig.engine.requests_handled(), 1u);
    EXPECT_TRUE(rig.engine.journal().empty());
}

TEST(EcrsimEngine, CountQueryIsAcknowledgedThenAnswered)
{
    EngineRig rig;
    rig.send(frame("GTC10.00"));
    EXPECT_EQ(rig.read_n(1), kAck);
    const std::string expected = frame("GTC11.0000");
    EXPECT_EQ(rig.read_n(expected.size()), expected);
    rig.send(kAck);
    EXPECT_EQ(rig.read_until_quiet(300), "");
}

TEST(EcrsimEngine, BadLrcDrillCorruptsTheCheckByteOnly)
{
    ecrsim::Options opt;
    opt.fault = ecrsim::Fault::BadLrc;
    EngineRig rig(opt);
    rig.send(frame("TSN10.") + std::string(1, kFs));
    EXPECT_EQ(rig.read_n(1), kAck);
    const std::string good = frame(std::string("TSN11.SIM00001234") + kFs);
    const std::string got = rig.read_n(good.size());
    ASSERT_EQ(got.size(), good.size());
    EXPECT_EQ(got.substr(0, got.size() - 1), good.substr(0, good.size() - 1));
    EXPECT_NE(got.back(), good.back());
}

TEST(EcrsimEngine, DropAckDrillAnswersWithoutAcknowledging)
{
    ecrsim::Options opt;
    opt.fault = ecrsim::Fault::DropAck;
    EngineRig rig(opt);
    rig.send(frame("TSN10.") + std::string(1, kFs));
    const std::string answer = frame(std::string("TSN11.SIM00001234") + kFs);
    EXPECT_EQ(rig.read_n(answer.size()), answer);  // no ACK in front of it
}

TEST(EcrsimEngine, SilenceDrillSendsNothing)
{
    ecrsim::Options opt;
    opt.fault = ecrsim::Fault::Silence;
    EngineRig rig(opt);
    rig.send(frame("TSN10.") + std::string(1, kFs));
    EXPECT_EQ(rig.read_until_quiet(600), "");
    EXPECT_EQ(rig.engine.requests_handled(), 1u);
}

TEST(EcrsimEngine, CloseDrillHangsUp)
{
    ecrsim::Options opt;
    opt.fault = ecrsim::Fault::Close;
    EngineRig rig(opt);
    rig.send(frame("PNG10."));
    bool closed = false;
    EXPECT_EQ(rig.read_until_quiet(2000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(rig.engine.requests_handled(), 1u);
}

TEST(EcrsimEngine, PaymentWithWaitNoticeTextMessageAndJournal)
{
    ecrsim::Options opt;
    opt.wait_notice_min = 5;
    opt.sms = ecrsim::to_cp1251("Вставьте карту");
    EngineRig rig(opt);
    std::string req = "PUR10.01";
    req += kFs + std::string("57") + kFs + "000000001234" + kFs + "000000000000" + kFs + "643" + kFs;
    rig.send(frame(req));
    EXPECT_EQ(rig.read_n(1), kAck);
    EXPECT_EQ(rig.read_frame(), "PUR11.");
    rig.send(kAck);
    EXPECT_EQ(rig.read_frame(), "PUR00.05");
    rig.send(kAck);
    EXPECT_EQ(rig.read_frame(), "SMS10.\xC2\xF1\xF2\xE0\xE2\xFC\xF2\xE5 \xEA\xE0\xF0\xF2\xF3" + std::string(1, kFs) + "0");
    rig.send(kAck);
    const std::string fin = rig.read_frame();
    ASSERT_EQ(fin.substr(0, 6), "PUR12.");
    const std::vector<std::string> f = fields_of(fin);
    ASSERT_GE(f.size(), 20u);
    EXPECT_EQ(f[0], "00");                      // response code
    EXPECT_EQ(f[1], "01");                      // cash register number
    EXPECT_EQ(f[2], "57");                      // its receipt number
    EXPECT_EQ(f[3], "000000001234");            // amount
    EXPECT_EQ(f[4], "000000000000");            // additional amount
    EXPECT_EQ(f[5], "4111********1111");        // masked card number
    EXPECT_EQ(f[6].substr(0, 4), "1227");       // expiry MMYY then text
    EXPECT_EQ(f[8].substr(0, 6), "000001");     // invoice
    EXPECT_EQ(f[8].size(), 6u + 6u + 8u + 7u);  // approval, DDMMhhmm, issuer
    EXPECT_EQ(f[10], "000000051000001");        // processing data
    EXPECT_EQ(f[11], "700000010001");           // RRN
    EXPECT_EQ(f[13], "SIM00001");               // terminal id
    EXPECT_EQ(f[15], "\xD2\xE5\xF1\xF2\xEE\xE2\xFB\xE9 \xC1\xE0\xED\xEA");  // bank name in CP1251
    EXPECT_NE(f[16].find('\n'), std::string::npos);  // a receipt of several lines
    EXPECT_TRUE(rig.engine.journal().empty());  // stored only once confirmed
    rig.send(kAck);
    rig.send(kAck);  // a stray one (as for a frame sent twice) is no confirmation, nor its absence
    rig.send(frame("PUR13."));
    EXPECT_EQ(rig.read_n(1), kAck);
    for (int i = 0; i < 100 && rig.engine.journal().empty(); ++i)
        Sleep(10);
    const std::vector<ecrsim::JournalEntry> j = rig.engine.journal();
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0].op, "PUR");
    EXPECT_EQ(j[0].amount, 1234);
    EXPECT_EQ(j[0].invoice, 1u);
    EXPECT_EQ(rig.engine.totals().sales, 1u);
}

// A settlement whose refunds exceed its sales reports the negative total in
// its fields as its receipt does.
TEST(EcrsimEngine, SettlementFieldsAgreeWithTheReceiptWhenNegative)
{
    EngineRig rig;
    auto pay = [&rig](const std::string& req) {
        rig.send(frame(req));
        EXPECT_EQ(rig.read_n(1), kAck);
        EXPECT_EQ(rig.read_frame(), req.substr(0, 3) + "11.");
        rig.send(kAck);
        const std::string fin = rig.read_frame();
        rig.send(kAck);
        rig.send(frame(req.substr(0, 3) + "13."));
        EXPECT_EQ(rig.read_n(1), kAck);
        return fin;
    };
    pay("REF10.01" + std::string(1, kFs) + "1" + kFs + "000000000700" + kFs + "000000000000" + kFs + "643" + kFs);
    for (int i = 0; i < 100 && rig.engine.journal().empty(); ++i)
        Sleep(10);
    const std::vector<std::string> f = fields_of(pay("SLR10."));
    ASSERT_GE(f.size(), 21u);
    EXPECT_EQ(f[3], "-00000000700");   // amount
    EXPECT_EQ(f[14], "-00000000700");  // settlement total
    EXPECT_EQ(f[15], "0");             // sales
    EXPECT_EQ(f[16], "1");             // refunds
    EXPECT_NE(f[20].find(ecrsim::to_cp1251("Итого: -7.00")), std::string::npos) << f[20];
}

TEST(EcrsimEngine, AbortDuringTheDelayDropsThePayment)
{
    ecrsim::Options opt;
    opt.delay_ms = 3000;
    EngineRig rig(opt);
    rig.send(frame("PUR10.01" + std::string(1, kFs) + "1" + kFs + "000000000100" + kFs + "000000000000" + kFs));
    EXPECT_EQ(rig.read_n(1), kAck);
    EXPECT_EQ(rig.read_frame(), "PUR11.");
    rig.send(kAck);
    rig.send(frame("PUR11." + std::string(1, kFs)));
    EXPECT_EQ(rig.read_n(1), kAck);
    EXPECT_EQ(rig.read_frame(), "PUR12.");
    rig.send(kAck);
    rig.send(frame("PUR13." + std::string(1, kFs)));
    EXPECT_EQ(rig.read_n(1), kAck);
    EXPECT_EQ(rig.read_until_quiet(3500), "");  // no final response follows
    EXPECT_TRUE(rig.engine.journal().empty());
}

// ---- the library against the engine, in-process ----

TEST(EcrsimEngine, ServiceQueriesOfTheLibraryAreAnswered)
{
    ecrsim::Engine engine;
    std::string err;
    std::unique_ptr<ecrsim::ServerLink> link = ecrsim::ServerLink::open(ecrsim::LinkKind::Tcp, "127.0.0.1", 0, &err);
    ASSERT_TRUE(link) << err;
    std::atomic<bool> stop(false);
    std::thread server([&] {
        while (!stop.load() && link->wait_peer(200, &stop)) {
            engine.serve(*link, &stop);
            link->drop_peer();
        }
    });
    char address[] = "127.0.0.1";
    put_EcrLogging(0);
    ASSERT_EQ(CommOpenTCP(address, static_cast<short>(link->port())), 0);
    char text[256] = {0};
    EXPECT_EQ(PosTSN(text), 0);
    EXPECT_STREQ(text, "SIM00001234");
    EXPECT_EQ(PosGetNameSoftware(text), 0);
    EXPECT_STREQ(text, "ECRSIM TERMINAL 1.0");
    unsigned long count = 99;
    EXPECT_EQ(PosGTC(0, &count), 0);
    EXPECT_EQ(count, 0u);
    char track[101] = {0};
    EXPECT_EQ(PosMagneticRead(track), 0);
    EXPECT_STREQ(track, "4111111111111111=27121011234567890");
    EXPECT_EQ(PosPrintXReport(), 0);
    PosClose();
    stop.store(true);
    server.join();
}

// ---- replay of a log written in the library's own dump format ----

namespace {

std::string dump(const std::string& bytes, const std::string& label)
{
    return "HEX DUMP: Buffer address = 0x7FFC1234, size = " + std::to_string(bytes.size()) + ", function: [" +
           label + "]\n" + el::hex_dump(bytes.data(), static_cast<unsigned>(bytes.size()), 16);
}

}  // namespace

TEST(EcrsimReplay, LogDumpsBecomeTheTerminalsScript)
{
    const std::string request = "PUR10.01" + std::string(1, kFs) + "1" + kFs + "000000001234" + kFs;
    std::string log;
    log += "08/12/2026 05:26:01 [LOG_INFO>  ] [StartTransaction:42]  Tran name[PUR] Tran code[1]\n";
    log += dump(frame(request), "SEND TO TERMINAL");
    log += dump(kAck, "RECV FROM TERMINAL");
    log += dump("PUR11.", "Received from terminal");
    log += dump(kAck, "SEND TO TERMINAL");
    log += dump("PUR", "UNCKNOWN MSG TYPE");       // not traffic
    log += dump(std::string(1, '\0'), "RECV FROM TERMINAL");  // nothing came: no step
    log += "08/12/2026 05:26:06 [LOG_TRACE> ] [Transaction:77] End pos_read_transaction_report err_code=[0]\n";
    log += dump("\x06\x02" "AUD12.\x03\x7E", "SEND TO TERMINAL");

    const std::vector<ecrsim::LogDump> dumps = ecrsim::parse_log_dumps(log);
    ASSERT_EQ(dumps.size(), 7u);
    EXPECT_EQ(dumps[0].bytes, frame(request));  // 23 bytes: a padded second line
    EXPECT_EQ(dumps[0].label, "SEND TO TERMINAL");

    const std::vector<ecrsim::ReplayStep> steps = ecrsim::replay_script(dumps);
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps[0].kind, ecrsim::ReplayStep::ExpectFrame);
    EXPECT_EQ(steps[0].data, request);
    EXPECT_EQ(steps[1].kind, ecrsim::ReplayStep::SendAck);
    EXPECT_EQ(steps[2].kind, ecrsim::ReplayStep::SendFrame);
    EXPECT_EQ(steps[2].data, "PUR11.");
    EXPECT_EQ(steps[3].kind, ecrsim::ReplayStep::ExpectAck);
    EXPECT_EQ(steps[4].kind, ecrsim::ReplayStep::ExpectAck);  // the audit confirmation: ACK and frame
    EXPECT_EQ(steps[5].kind, ecrsim::ReplayStep::ExpectFrame);
    EXPECT_EQ(steps[5].data, "AUD12.");
}

TEST(EcrsimReplay, LongDumpsKeepEveryByte)
{
    std::string receipt;
    for (int i = 0; i < 300; ++i)
        receipt += static_cast<char>(i & 0xFF ? i & 0xFF : 0x41);
    const std::vector<ecrsim::LogDump> d = ecrsim::parse_log_dumps(dump(receipt, "Received from terminal"));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].bytes, receipt);  // offsets past 0xFF, bytes of every value
}

TEST(EcrsimReplay, PlayedBackOverALink)
{
    const std::vector<ecrsim::ReplayStep> steps = {
        {ecrsim::ReplayStep::ExpectFrame, "PNG10."},
        {ecrsim::ReplayStep::SendAck, ""},
        {ecrsim::ReplayStep::ExpectFrame, "TSN10."},
        {ecrsim::ReplayStep::SendAck, ""},
        {ecrsim::ReplayStep::SendFrame, "TSN11.REPLAYED"},
        {ecrsim::ReplayStep::ExpectAck, ""},
    };
    std::string err;
    std::unique_ptr<ecrsim::ServerLink> link = ecrsim::ServerLink::open(ecrsim::LinkKind::Tcp, "127.0.0.1", 0, &err);
    ASSERT_TRUE(link);
    std::atomic<bool> stop(false);
    ecrsim::ReplayResult result;
    std::thread server([&] {
        if (link->wait_peer(5000, &stop))
            result = ecrsim::play_replay(steps, *link, &stop, 3000);
    });
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(link->port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string tsn = frame("TSN10.\x1c");
    ASSERT_GT(send(fd, frame("PNG10.").data(), 9, MSG_NOSIGNAL), 0);
    char b[64];
    ASSERT_EQ(recv(fd, b, 1, 0), 1);
    EXPECT_EQ(b[0], 0x06);
    ASSERT_GT(send(fd, tsn.data(), tsn.size(), MSG_NOSIGNAL), 0);
    ASSERT_EQ(recv(fd, b, 1, 0), 1);
    EXPECT_EQ(b[0], 0x06);
    const std::string answer = frame("TSN11.REPLAYED");
    std::string got;
    while (got.size() < answer.size()) {
        const ssize_t n = recv(fd, b, sizeof b, 0);
        ASSERT_GT(n, 0);
        got.append(b, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, answer);
    ASSERT_GT(send(fd, "\x06", 1, MSG_NOSIGNAL), 0);
    server.join();
    close(fd);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.steps_done, steps.size());
    EXPECT_TRUE(result.notes.empty());
}

// ---- text conversions ----

TEST(EcrcliText, Cp1251BothWays)
{
    EXPECT_EQ(ecrsim::to_cp1251("Ёё№Аюя A"), "\xA8\xB8\xB9\xC0\xFE\xFF A");
    EXPECT_EQ(ecrsim::to_cp1251("€"), "?");
    EXPECT_EQ(ecrcli::cp1251_to_utf8("\xA8\xB8\xB9\xC0\xFE\xFF A"), "Ёё№Аюя A");
    const std::string text = "Сумма: 12.34\nОДОБРЕНО";
    EXPECT_EQ(ecrcli::cp1251_to_utf8(ecrsim::to_cp1251(text)), text);
}

// ---- chaos: the faults come from the seed and the operation alone ----

namespace {

// Every decision of a scripted run of pieces: the plan fault of each
// "payment" and the action of each write, flattened.
std::vector<unsigned> chaos_plan(ecrsim::Chaos& c, int steps)
{
    static const ecrsim::ChaosPiece kPieces[] = {ecrsim::ChaosPiece::RequestAck, ecrsim::ChaosPiece::Frame,
                                                 ecrsim::ChaosPiece::Ack, ecrsim::ChaosPiece::Frame};
    std::vector<unsigned> out;
    for (int i = 0; i < steps; ++i) {
        if (i % 4 == 0) {
            ecrsim::Plan p;
            const ecrsim::ChaosKind k = c.shape_plan(&p);
            out.insert(out.end(), {static_cast<unsigned>(k), static_cast<unsigned>(p.fault),
                                   static_cast<unsigned>(p.fault_step), p.delay_ms,
                                   static_cast<unsigned>(p.wait_notices.size() + p.messages.size())});
        }
        const ecrsim::ChaosAction a = c.decide(kPieces[i % 4], 40);
        out.insert(out.end(), {static_cast<unsigned>(a.kind), a.a, a.b});
    }
    return out;
}

}  // namespace

TEST(EcrsimChaos, SameSeedSamePlanAndEachOperationReplaysAlone)
{
    struct Case {
        uint64_t seed;
        double rate;
        ecrsim::LinkKind link;
    };
    const Case cases[] = {{1, 0.2, ecrsim::LinkKind::Tcp},
                          {42, 0.5, ecrsim::LinkKind::Udp},
                          {0xFFFFFFFFFFFFFFFFull, 0.9, ecrsim::LinkKind::Pty}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        ecrsim::Chaos a(c.seed, c.rate, c.link), b(c.seed, c.rate, c.link), other(c.seed + 1, c.rate, c.link);
        const std::vector<unsigned> plan = chaos_plan(a, 400);
        EXPECT_EQ(plan, chaos_plan(b, 400));
        EXPECT_NE(plan, chaos_plan(other, 400));
        // Operation 7 draws the same whatever came before it.
        a.mark_operation(7);
        ecrsim::Chaos fresh(c.seed, c.rate, c.link);
        fresh.mark_operation(7);
        const std::vector<unsigned> op7 = chaos_plan(a, 40);
        EXPECT_EQ(op7, chaos_plan(fresh, 40));
        EXPECT_EQ(a.where(), "op 7");
    }
}

TEST(EcrsimChaos, RateBoundsAndKindsFitThePieceAndLink)
{
    const ecrsim::LinkKind links[] = {ecrsim::LinkKind::Tcp, ecrsim::LinkKind::Udp, ecrsim::LinkKind::Pty};
    const ecrsim::ChaosPiece pieces[] = {ecrsim::ChaosPiece::RequestAck, ecrsim::ChaosPiece::Ack,
                                         ecrsim::ChaosPiece::Frame};
    for (ecrsim::LinkKind link : links) {
        ecrsim::Chaos never(5, 0.0, link), always(5, 1.0, link);
        std::set<ecrsim::ChaosKind> seen;
        for (int i = 0; i < 3000; ++i) {
            const ecrsim::ChaosPiece piece = pieces[i % 3];
            EXPECT_FALSE(never.decide(piece, 40).any());
            const ecrsim::ChaosAction act = always.decide(piece, 40);
            ASSERT_TRUE(act.any());
            EXPECT_TRUE(ecrsim::Chaos::applies(act.kind, piece, link)) << ecrsim::chaos_kind_name(act.kind);
            seen.insert(act.kind);
        }
        // Every wire kind that fits the link is drawn at some point.
        for (int k = static_cast<int>(ecrsim::ChaosKind::Split); k < static_cast<int>(ecrsim::ChaosKind::Count); ++k)
            for (ecrsim::ChaosPiece piece : pieces)
                if (ecrsim::Chaos::applies(static_cast<ecrsim::ChaosKind>(k), piece, link))
                    EXPECT_EQ(seen.count(static_cast<ecrsim::ChaosKind>(k)), 1u) << k;
        EXPECT_EQ(never.total(), 0u);
    }
}
