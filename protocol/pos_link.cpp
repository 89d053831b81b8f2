// Frame and byte reads of the link, each bounded by its deadline and woken
// by the interrupt flag.
#include "protocol/pos_link.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

#include "Logging/log.h"
#include "protocol/link_error.h"

namespace {

// A result of the channel that says the link is dead is kept on the handle.
void note_gone(PosHandle* h, int result)
{
    const LinkGone why = PosChannel::gone_of(result);
    if (why == LinkGone::No)
        return;
    if (h->gone == LinkGone::No)
        LOGREC(LOG_ERROR) << "Link is dead[" << link_gone_text(why) << "]";
    h->gone = why;
}

// Without a wake-up descriptor a read looks at the flag this often.
constexpr uint64_t kFlagLookMs = 50;
// A frame whose check failed at an ETX is dropped when the link has then been
// quiet this long (the serial line's inter-byte time).
constexpr uint64_t kQuietGapMs = 2000;

// A link already known dead is not asked again; a caller that keeps reading
// it (a loop over pos_read_packet) rests this long per read, or until woken.
constexpr unsigned kDeadLinkRestMs = 100;

int rest_on_dead_link(PosHandle* h, Deadline until, int wake_fd)
{
    const Deadline end = until.sooner(Deadline::in_ms(kDeadLinkRestMs));
    if (wake_fd < 0) {
        if (end.poll_ms() > 0)
            Sleep(static_cast<unsigned>(end.poll_ms()));
        return PosChannel::gone(h->gone);
    }
    pollfd p{wake_fd, POLLIN, 0};
    while (poll(&p, 1, end.poll_ms()) < 0 && errno == EINTR) {
    }
    if ((p.revents & POLLIN) != 0) {
        h->interrupt.drain_stale();
        return PosChannel::kWoken;
    }
    return PosChannel::gone(h->gone);
}

// Wait for more bytes into the frame reader until `until`.  A dead link
// answers without asking the channel again (after a rest, see above); the
// read that finds it dead returns at once.
int receive_more(PosHandle* h, Deadline until, PosWake wake)
{
    int wake_fd = -1;
    if (wake == PosWake::OnInterrupt) {
        wake_fd = h->interrupt.wake_fd();
        if (wake_fd < 0)
            until = until.sooner(Deadline::in_ms(kFlagLookMs));
    }
    if (h->gone != LinkGone::No)
        return rest_on_dead_link(h, until, wake_fd);
    unsigned int room = 0;
    unsigned char* space = h->rx.space(&room);
    const int got = h->transport->ReadSome(space, room, until, wake_fd);
    if (got > 0 && h->transport->Datagrams())
        h->rx.commit_datagram(static_cast<unsigned int>(got));
    else if (got > 0)
        h->rx.commit(static_cast<unsigned int>(got));
    else if (got == PosChannel::kWoken)
        h->interrupt.drain_stale();
    else
        note_gone(h, got);
    return got;
}

bool stop_asked(const PosHandle* h, PosWake wake)
{
    return wake == PosWake::OnInterrupt && h->interrupt.load() != 0;
}

}  // namespace

unsigned int pos_link_read_frame(PosHandle* h, unsigned char* buf, unsigned int cap, unsigned int* len,
                                 Deadline deadline, PosWake wake)
{
    if (h == nullptr || h->transport == nullptr || buf == nullptr || len == nullptr)
        return SE_PARAM;
    bool bad_check = false;
    bool frame_started = false;  // the STX of a frame has come
    Deadline frame_deadline = deadline;
    Deadline quiet = Deadline::in_ms(kQuietGapMs);  // the link counts as quiet from then on
    for (;;) {
        const FrameReader::Item item = h->rx.next(cap);
        switch (item.kind) {
        case FrameReader::Kind::Frame:
            std::memcpy(buf, item.data, item.size);
            *len = item.size;
            LOGDUMP_MESSAGE(buf, *len, "Received from terminal");
            return SE_OK;
        case FrameReader::Kind::BadCheck:
            // Dumped whole, so that a technician sees what the line did to it.
            LOGDUMP(item.data, item.size, "Received from terminal");
            ++h->bad_frames;
            LOGREC(LOG_ERROR) << "Frame with a bad check byte dropped, size[" << item.size << "] dropped so far["
                              << h->bad_frames << "]";
            link_error_set("frames with a bad check byte were received");
            bad_check = true;
            frame_started = false;
            continue;
        case FrameReader::Kind::TooLong:
            LOGDUMP(item.data, item.size < 64 ? item.size : 64, "Received from terminal");
            LOGREC(LOG_ERROR) << "Frame longer than " << cap << " bytes refused";
            link_error_set("a frame longer than %u bytes was received", cap);
            return SE_SIZE;
        case FrameReader::Kind::Ack:
        case FrameReader::Kind::Nak:
            continue;
        case FrameReader::Kind::None:
            break;
        }
        if (stop_asked(h, wake)) {
            LOGREC(LOG_INFO) << "Read was interrapted -> exit";
            return SE_OK;
        }
        const bool in_frame = h->rx.in_frame();
        if (in_frame && !frame_started) {
            frame_deadline = Deadline::in_s(h->packet_timeout);
            frame_started = true;
        }
        Deadline until = in_frame ? frame_deadline : deadline;
        const bool undecided = h->rx.undecided();
        if (undecided)
            until = until.sooner(quiet);
        const int got = receive_more(h, until, wake);
        if (got > 0)
            quiet = Deadline::in_ms(kQuietGapMs);
        // Nothing more can come over a dead link: what is held is all there is.
        const bool dead = h->gone != LinkGone::No;
        if (got > 0 || got == PosChannel::kWoken || (!until.passed() && !dead))
            continue;
        if (undecided && (quiet.passed() || dead)) {
            h->rx.quiet();
            continue;
        }
        if (in_frame) {
            // The frame stopped half-way: its bytes are of no use any more.
            const bool nothing_after_stx = h->rx.held() <= 1;
            h->rx.reset();
            return nothing_after_stx ? SE_NODATA : SE_READ;
        }
        if (bad_check)
            return SE_SYNTAX;
        return h->serial != nullptr ? SE_FORMAT : SE_FAIL;
    }
}

unsigned int pos_link_wait_ack(PosHandle* h, Deadline deadline, PosWake wake, PosAckWait* seen)
{
    PosAckWait ignored;
    if (seen == nullptr)
        seen = &ignored;
    *seen = PosAckWait{};
    if (h == nullptr || h->transport == nullptr)
        return SE_PARAM;
    for (;;) {
        unsigned char byte = 0;
        while (h->rx.take(&byte)) {
            seen->last = byte;
            if (byte == ACK)
                return SE_OK;
            seen->frame_seen = seen->frame_seen || byte == STX;
        }
        if (stop_asked(h, wake)) {
            seen->interrupted = true;
            return SE_EXEC;
        }
        const int got = receive_more(h, deadline, wake);
        if (got <= 0 && got != PosChannel::kWoken && (deadline.passed() || h->gone != LinkGone::No))
            return SE_EXEC;
    }
}

void pos_link_drop_stale(PosHandle* h)
{
    if (h == nullptr || h->transport == nullptr)
        return;
    h->gone = LinkGone::No;  // a new dialogue: the link is asked afresh
    // A deadline that has passed: only what is there already.
    const Deadline now = Deadline::now();
    while (h->rx.held() < FrameReader::kMaxMessage) {
        unsigned int room = 0;
        unsigned char* space = h->rx.space(&room);
        const int got = h->transport->ReadSome(space, room, now, -1);
        note_gone(h, got);
        if (got <= 0)
            break;
        h->rx.commit(static_cast<unsigned int>(got));
    }
    // A refusal found here answers a datagram of an earlier dialogue: the
    // terminal may be back, so this one asks it again.
    if (h->gone == LinkGone::Refused)
        h->gone = LinkGone::No;
    const unsigned int held = h->rx.held();
    if (held == 0)
        return;
    LOGDUMP(h->rx.held_bytes(), held, "Received from terminal");
    LOGREC(LOG_INFO) << "Bytes left from an earlier exchange dropped[" << held << "]";
    h->rx.reset();
}

int pos_link_write(PosHandle* h, const unsigned char* bytes, unsigned int n)
{
    if (h == nullptr || h->transport == nullptr)
        return -1;
    return h->transport->Write(bytes, n);
}

bool pos_link_dead(PosHandle* h)
{
    if (h == nullptr || h->transport == nullptr)
        return false;
    if (h->gone == LinkGone::No && h->rx.held() < FrameReader::kMaxMessage)
        receive_more(h, Deadline::now(), PosWake::Never);
    return h->gone != LinkGone::No;
}

int pos_link_send_ack(PosHandle* h)
{
    const unsigned char ack = ACK;
    const int written = pos_link_write(h, &ack, 1);
    LOGDUMP(&ack, 1, "SEND TO TERMINAL");
    return written;
}
