// Serial line over the POSIX terminal interface.
#include "transport/comport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "Logging/log.h"
#include "Logging/log_internal.h"
#include "compat/compat.h"
#include "protocol/channel.h"
#include "protocol/link_error.h"
#include "transport/poll_wait.h"

namespace {

// Writes and reads of the frame helpers go in chunks of this size.
constexpr unsigned int kChunk = 18;
// A read that comes back empty sooner than this did not wait out the line's
// inter-byte time: the device is gone (hang-up, removed adapter).  The caller
// then rests before returning so that deadline loops above do not spin.
constexpr uint64_t kVanishedReadMs = 50;
constexpr unsigned kVanishedBackoffMs = 100;

// The protocol dump file starts empty with every load of the library.
struct ProtocolDumpFile {
    ProtocolDumpFile() { create_protocol_dump_file("protocol.dmp"); }
};
const ProtocolDumpFile g_protocolDumpFile;  // (create_protocol_dump_file below)

void log_termios_error(const char* what, int err)
{
    LOGREC(LOG_ERROR) << "comport_open" << what << err << " " << std::strerror(err) << "\n";
}

void apply_line_settings(termios& tty, unsigned long baud, unsigned char data_bits, unsigned char parity,
                         unsigned char stop_bits)
{
    if (baud == 9600) {
        cfsetispeed(&tty, B9600);
        cfsetospeed(&tty, B9600);
    } else if (baud == 115200) {
        cfsetispeed(&tty, B115200);
        cfsetospeed(&tty, B115200);
    }
    // The line belongs to this library: modem control lines are not waited
    // for, and the receiver is on.
    tty.c_cflag |= CLOCAL | CREAD;
    tty.c_cflag &= ~CSIZE;
    if (data_bits == 7)
        tty.c_cflag |= CS7;
    else if (data_bits == 8)
        tty.c_cflag |= CS8;
    tty.c_cflag &= ~(PARENB | PARODD);
    if (parity == 2)
        tty.c_cflag |= PARENB;
    if (stop_bits == 2)
        tty.c_cflag |= CSTOPB;
    else
        tty.c_cflag &= ~CSTOPB;
    tty.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    tty.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tty.c_oflag &= ~OPOST;
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 20;
}

bool raw_mode_in_place(int fd)
{
    termios now{};
    if (tcgetattr(fd, &now) != 0)
        return false;
    return (now.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (now.c_cflag & CLOCAL) != 0 && now.c_cc[VMIN] == 0 &&
           now.c_cc[VTIME] == 20;
}

}  // namespace

bool _comport_context::SetDevice(const std::string& path)
{
    if (path.size() > kMaxDevice || path.find('\0') != std::string::npos) {
        device_name[0] = '\0';
        return false;
    }
    std::memcpy(device_name, path.c_str(), path.size() + 1);
    return true;
}

unsigned int comport_open(_comport_handle** out, const char* device, unsigned long baud, unsigned char data_bits,
                          unsigned char parity, unsigned char stop_bits)
{
    if (out == nullptr || parity > 4 || stop_bits > 2)
        return COMPORT_PARAM;
    *out = nullptr;
    const char* path = device != nullptr ? device : "";
    LOGREC(LOG_TRACE) << " Open[" << path << "}\n";
    int fd = open(path, O_RDWR | O_NOCTTY | O_SYNC | O_CLOEXEC);
    LOGREC(LOG_TRACE) << " Open res[" << fd << "}\n";
    if (fd < 0) {
        link_error_set("open %s: %s", path, std::strerror(errno));
        return COMPORT_OPEN;
    }

    // One user of the line at a time: a second open of the device (by this
    // or another process) is refused while it is held.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        LOGREC(LOG_ERROR) << "comport_open" << "Serial device is in use: " << err << " " << std::strerror(err) << "\n";
        link_error_set("open %s: in use by another process (%s)", path, std::strerror(err));
        close(fd);
        return COMPORT_OPEN;
    }
    // Further opens of a terminal device fail with EBUSY (privileged ones
    // excepted, which the lock above still refuses).
    ioctl(fd, TIOCEXCL);

    termios tty{};
    if (tcgetattr(fd, &tty) != 0) {
        log_termios_error("Error from tcgetattr: ", errno);
    } else {
        apply_line_settings(tty, baud, data_bits, parity, stop_bits);
        if (tcsetattr(fd, TCSANOW, &tty) != 0) {
            const int err = errno;
            log_termios_error("Error from tcsetattr: ", err);
            // A device may refuse part of the settings (a pseudo-terminal
            // refuses parity) and still apply the rest: the line is usable
            // only when it is in raw mode with the read timing and CLOCAL.
            if (!raw_mode_in_place(fd)) {
                link_error_set("tcsetattr %s: %s", path, std::strerror(err));
                ioctl(fd, TIOCNXCL);
                close(fd);
                return COMPORT_OPEN;
            }
        }
    }

    _comport_handle* port = new (std::nothrow) _comport_handle;
    if (port == nullptr) {
        close(fd);
        return COMPORT_NOMEM;
    }
    port->fd = fd;
    *out = port;
    return COMPORT_OK;
}

unsigned int comport_reopen(_comport_handle** port, const char* device, unsigned long baud, unsigned char data_bits,
                            unsigned char parity, unsigned char stop_bits)
{
    if (port == nullptr)
        return COMPORT_PARAM;
    if (*port != nullptr) {
        comport_close(*port);
        *port = nullptr;
    }
    return comport_open(port, device, baud, data_bits, parity, stop_bits);
}

void comport_close(_comport_handle* port)
{
    if (port == nullptr)
        return;
    if (port->fd >= 0) {
        // The exclusive mark outlives the descriptor (a pseudo-terminal keeps
        // it while its master is open): it is taken off before the close.
        ioctl(port->fd, TIOCNXCL);
        CloseHandle(port->fd);
    }
    delete port;
}

int comport_write(_comport_handle* port, const unsigned char* bytes, unsigned int n)
{
    if (port == nullptr || bytes == nullptr)
        return -1;
    if (n == 0)
        return 0;
    unsigned int done = 0;
    while (done < n) {
        ssize_t r = write(port->fd, bytes + done, n - done);
        if (r < 1) {
            if (r < 0 && errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<unsigned int>(r);
    }
    return static_cast<int>(n);
}

int comport_read(_comport_handle* port, unsigned char* buffer, unsigned int n)
{
    if (port == nullptr || buffer == nullptr)
        return -1;
    if (n == 0)
        return 0;
    unsigned int done = 0;
    while (done < n) {
        uint64_t started = GetTickCount();
        ssize_t r = read(port->fd, buffer + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            int err = errno;
            if (GetTickCount() - started < kVanishedReadMs)
                Sleep(kVanishedBackoffMs);
            errno = err;
            if (r < 0)
                return -1;
            break;  // the line stayed silent for the inter-byte time
        }
        done += static_cast<unsigned int>(r);
    }
    return static_cast<int>(done);
}

int comport_read_some(_comport_handle* port, unsigned char* buffer, unsigned int max, Deadline deadline, int wake_fd)
{
    if (port == nullptr || buffer == nullptr || max == 0 || port->fd < 0)
        return PosChannel::kFailed;
    for (;;) {
        const int ready = poll_readable(port->fd, deadline, wake_fd);
        if (ready == PosChannel::kWoken)
            return PosChannel::kWoken;
        if (ready == 0)
            return PosChannel::kTimedOut;
        ssize_t r = ready > 0 ? read(port->fd, buffer, max) : -1;
        if (r > 0)
            return static_cast<int>(r);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (ready < 0) {
            link_error_set("the serial line was hung up");
            return rest_unless_woken(kVanishedBackoffMs, deadline, wake_fd) == PosChannel::kWoken
                       ? PosChannel::kWoken
                       : PosChannel::kFailed;
        }
        // Readable without data, or an error: the line was hung up (the far
        // end closed, EIO) or the device is gone (a removed adapter).
        const LinkGone why = r == 0 || errno == EIO ? LinkGone::HungUp : LinkGone::Vanished;
        link_error_set("%s", link_gone_text(why));
        return PosChannel::gone(why);
    }
}

unsigned int comport_readframe(_comport_handle* port, unsigned char* buffer, int size)
{
    if (port == nullptr || buffer == nullptr || size <= 0)
        return 0;
    std::memset(buffer, 0, static_cast<size_t>(size));
    unsigned int total = 0;
    const unsigned int cap = static_cast<unsigned int>(size);
    while (total < cap) {
        unsigned char chunk[kChunk];
        int r = comport_read(port, chunk, kChunk);
        if (r <= 0)
            break;
        unsigned int take = static_cast<unsigned int>(r);
        if (take > cap - total)
            take = cap - total;
        std::memcpy(buffer + total, chunk, take);
        total += take;
    }
    return total;
}

unsigned int comport_writeframe(_comport_handle* port, const unsigned char* bytes, int size)
{
    if (port == nullptr || bytes == nullptr || size <= 0)
        return 0;
    const unsigned int total = static_cast<unsigned int>(size);
    unsigned int done = 0;
    while (done < total) {
        unsigned char chunk[kChunk];
        unsigned int take = total - done < kChunk ? total - done : kChunk;
        std::memcpy(chunk, bytes + done, take);
        int r = comport_write(port, chunk, take);
        if (r <= 0)
            break;
        done += static_cast<unsigned int>(r);
    }
    return done;
}

unsigned int comport_read_all(_comport_handle* port, unsigned char* buffer, int size, int attempts)
{
    if (port == nullptr || buffer == nullptr || size <= 0)
        return 0;
    std::memset(buffer, 0, static_cast<size_t>(size));
    const unsigned int total = static_cast<unsigned int>(size);
    unsigned int done = 0;
    for (int i = 0; i < attempts && done < total; ++i) {
        int r = comport_read(port, buffer + done, total - done);
        if (r > 0)
            done += static_cast<unsigned int>(r);
    }
    return done;
}

unsigned int comport_write_all(_comport_handle* port, const unsigned char* bytes, int size, int attempts)
{
    if (port == nullptr || bytes == nullptr || size <= 0)
        return 0;
    const unsigned int total = static_cast<unsigned int>(size);
    unsigned int done = 0;
    for (int i = 0; i < attempts && done < total; ++i) {
        int r = comport_write(port, bytes + done, total - done);
        if (r > 0)
            done += static_cast<unsigned int>(r);
    }
    return done;
}

bool create_protocol_dump_file(const char* path)
{
    // A symbolic link planted there is refused, not followed (it would
    // truncate its target); the refusal goes to the log once it is open.
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (errno == ELOOP)
        el::detail::NoteForLog(LOG_ERROR, std::string("[") + __func__ + ":" + std::to_string(__LINE__) + "] " + path +
                                              " is a symbolic link: not opened");
    return false;
}
