// The operation record on disk: one small text file, replaced atomically.
//
//   ecrbridge-record 2
//   op=1
//   cents=1234
//   invoice=0
//   receipt=57
//   terminal_invoice=0
//   time=1796732156
//   journal_pos=320
//   sum=8c2f0a1e
//
// The sum is the FNV-1a hash of every byte before its line: a truncated or
// altered record fails it and is set aside, never read as zeros.  A record of
// the first format (no version line, "amount=" in currency units) is still
// read when every line of it is well formed.
#include "VarkoClass2017/operation_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Logging/log.h"

namespace {

constexpr const char* kFileName = "ecrbridge.oprecord";
constexpr const char* kVersionLine = "ecrbridge-record 2\n";
constexpr const char* kPositionFile = "ecrbridge.journal";
constexpr const char* kPositionVersion = "ecrbridge-journal 1\n";
constexpr size_t kMaxRecord = 1024;

std::mutex g_lock;
std::string g_dir;          // set by the application
std::string g_default_dir;  // the log's directory
int g_held_fd = -1;         // the lock of this process's record, while it has one
std::string g_held_dir;     // the directory of that lock
bool g_write_failed = false;  // the last write failed (logged once until one succeeds)
std::string g_link;         // the link the records are about
uint64_t g_written = 0;     // records this process has begun (Write)
uint64_t g_decided = 0;     // the one of them whose payment is decided (MarkDecided)

// This process's record is of a decided payment, removed once the
// application has been told: there is nothing in it to recover.
bool decided_locked() { return g_decided != 0 && g_decided == g_written && g_held_fd >= 0; }

std::string dir_locked()
{
    if (!g_dir.empty())
        return g_dir;
    return g_default_dir.empty() ? std::string(".") : g_default_dir;
}

bool write_all(int fd, const char* data, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void sync_dir(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

uint32_t fnv1a(const char* p, size_t n)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 16777619u;
    }
    return h;
}

// ---- the lock that tells this process's record from another's ----------

void release_locked()
{
    if (g_held_fd >= 0) {
        ::close(g_held_fd);  // drops the flock
        g_held_fd = -1;
        g_held_dir.clear();
    }
}

// Takes the record's lock for this process; false when another process
// holds it (or it cannot be opened).
bool hold_locked(const std::string& dir)
{
    if (g_held_fd >= 0 && g_held_dir == dir)
        return true;
    release_locked();
    const std::string path = dir + "/" + kFileName + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    g_held_fd = fd;
    g_held_dir = dir;
    return true;
}

// True when a live process other than this one holds the record's lock.
bool held_elsewhere_locked(const std::string& dir)
{
    if (g_held_fd >= 0 && g_held_dir == dir)
        return false;
    const std::string path = dir + "/" + kFileName + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // a lock taken only to look is dropped at once
    return busy;
}

// ---- reading without the locale ---------------------------------------

// Whole text of decimal digits, optionally signed; false for anything else.
bool parse_int(const char* s, const char* end, long long* out)
{
    bool neg = false;
    if (s < end && (*s == '-' || *s == '+'))
        neg = *s++ == '-';
    if (s == end || end - s > 18)
        return false;
    long long v = 0;
    for (; s < end; ++s) {
        if (*s < '0' || *s > '9')
            return false;
        v = v * 10 + (*s - '0');
    }
    *out = neg ? -v : v;
    return true;
}

// "12.34", "12.3", "12" as written by the first format, in minor units,
// whatever the process's locale says a decimal point is.
bool parse_amount(const char* s, const char* end, long long* cents)
{
    const char* dot = static_cast<const char*>(std::memchr(s, '.', static_cast<size_t>(end - s)));
    long long whole = 0;
    if (!parse_int(s, dot != nullptr ? dot : end, &whole) || whole < 0)
        return false;
    long long frac = 0;
    if (dot != nullptr) {
        const long digits = end - dot - 1;
        if (digits < 1 || digits > 2 || !parse_int(dot + 1, end, &frac) || frac < 0)
            return false;
        if (digits == 1)
            frac *= 10;
    }
    *cents = whole * 100 + frac;
    return true;
}

enum Field { kOp = 1, kCents = 2, kInvoice = 4, kReceipt = 8, kTerminalInvoice = 16, kTime = 32, kPosition = 64 };

// One "name=value" line into the entry; false for a line that is not one.
bool parse_line(const char* line, const char* end, OperationEntry* e, unsigned* seen)
{
    const char* eq = static_cast<const char*>(std::memchr(line, '=', static_cast<size_t>(end - line)));
    if (eq == nullptr)
        return false;
    const std::string name(line, eq);
    const char* v = eq + 1;
    long long n = 0;
    if (name == "amount" || name == "cents") {
        if (!(name == "amount" ? parse_amount(v, end, &n) : parse_int(v, end, &n)) || n < 0)
            return false;
        e->amount = static_cast<double>(n) / 100.0;
        *seen |= kCents;
        return true;
    }
    // The first format wrote an empty invoice for none.
    if (name == "invoice" && v == end) {
        e->invoice = 0;
        *seen |= kInvoice;
        return true;
    }
    if (!parse_int(v, end, &n) || n < (name == "journal_pos" ? -1 : 0))
        return false;
    if (name == "journal_pos") {
        e->journal_pos = static_cast<long>(n);
        *seen |= kPosition;
    } else if (name == "op") {
        e->op = static_cast<unsigned>(n);
        *seen |= kOp;
    } else if (name == "invoice") {
        e->invoice = static_cast<long>(n);
        *seen |= kInvoice;
    } else if (name == "receipt") {
        e->ecr_receipt = static_cast<uint64_t>(n);
        *seen |= kReceipt;
    } else if (name == "terminal_invoice") {
        e->terminal_invoice = static_cast<long>(n);
        *seen |= kTerminalInvoice;
    } else if (name == "time") {
        e->written_at = n;
        *seen |= kTime;
    } else {
        return false;
    }
    return true;
}

// The record's text into an entry: true only for a whole, well-formed record.
bool parse_record(const char* text, size_t n, OperationEntry* out)
{
    const size_t vlen = std::strlen(kVersionLine);
    const bool versioned = n >= vlen && std::memcmp(text, kVersionLine, vlen) == 0;
    const char* p = versioned ? text + vlen : text;
    const char* const end = text + n;
    if (n == 0 || text[n - 1] != '\n')
        return false;  // cut short
    OperationEntry e;
    unsigned seen = 0;
    bool summed = false;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (versioned && std::strncmp(p, "sum=", 4) == 0) {
            char want[16];
            std::snprintf(want, sizeof want, "%08x", fnv1a(text, static_cast<size_t>(p - text)));
            if (nl != end - 1 || nl - p - 4 != 8 || std::memcmp(p + 4, want, 8) != 0)
                return false;
            summed = true;
            break;
        }
        if (!parse_line(p, nl, &e, &seen))
            return false;
        p = nl + 1;
    }
    const unsigned needed = kOp | kCents | kInvoice | kReceipt | kTime | (versioned ? unsigned{kTerminalInvoice | kPosition} : 0u);
    if ((seen & needed) != needed || (versioned && !summed))
        return false;
    *out = e;
    return true;
}

enum class Read { None, Valid, Damaged };

Read read_locked(const std::string& path, OperationEntry* entry)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? Read::None : Read::Damaged;  // ELOOP: a planted link
    struct stat st {};
    char text[kMaxRecord + 1];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(kMaxRecord))
        n = ::read(fd, text, kMaxRecord + 1);
    ::close(fd);
    if (n < 0 || n > static_cast<ssize_t>(kMaxRecord))
        return Read::Damaged;
    return parse_record(text, static_cast<size_t>(n), entry) ? Read::Valid : Read::Damaged;
}

bool load_locked(OperationEntry* entry)
{
    const std::string dir = dir_locked();
    if (held_elsewhere_locked(dir) || decided_locked())
        return false;
    return read_locked(dir + "/" + kFileName, entry) == Read::Valid;
}

// The record's text, summed.
int format_record(const OperationEntry& e, char* text, size_t size)
{
    const long long cents = static_cast<long long>(e.amount * 100.0 + (e.amount < 0 ? -0.5 : 0.5));
    int n = std::snprintf(text, size,
                          "%sop=%u\ncents=%lld\ninvoice=%ld\nreceipt=%llu\nterminal_invoice=%ld\ntime=%lld\n"
                          "journal_pos=%ld\n",
                          kVersionLine, e.op, cents, e.invoice, static_cast<unsigned long long>(e.ecr_receipt),
                          e.terminal_invoice, e.written_at, e.journal_pos);
    if (n <= 0 || static_cast<size_t>(n) + 14 >= size)
        return -1;
    n += std::snprintf(text + n, size - static_cast<size_t>(n), "sum=%08x\n", fnv1a(text, static_cast<size_t>(n)));
    return n;
}

// Replaces a small file of the directory atomically, through a temporary
// name of this process's own; never through a planted link.
bool replace_file(const std::string& dir, const char* name, const char* text, size_t n)
{
    static std::atomic<unsigned> counter{0};
    const std::string path = dir + "/" + name;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
    const std::string tmp = path + suffix;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0 && write_all(fd, text, n) && ::fsync(fd) == 0;
    if (fd >= 0)
        ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(tmp.c_str());
    return ok;
}

bool write_locked(const OperationEntry& e)
{
    const std::string dir = dir_locked();
    char text[256];
    const int n = format_record(e, text, sizeof text);
    if (n <= 0 || !hold_locked(dir) || !replace_file(dir, kFileName, text, static_cast<size_t>(n))) {
        if (!g_write_failed)
            LOGREC(LOG_ERROR) << " operation record not written[" << dir << "/" << kFileName
                              << "] this payment has no crash record";
        g_write_failed = true;
        return false;
    }
    g_write_failed = false;
    sync_dir(dir);
    return true;
}

long position_locked()
{
    const std::string path = dir_locked() + "/" + kPositionFile;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    char text[kMaxRecord + 1];
    struct stat st {};
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = ::read(fd, text, kMaxRecord);
    ::close(fd);
    if (n <= 0)
        return -1;
    const std::string t(text, static_cast<size_t>(n));
    const std::string head = std::string(kPositionVersion) + "link=" + g_link + "\ninvoice=";
    const size_t sum_at = t.rfind("sum=");
    if (t.compare(0, head.size(), head) != 0 || sum_at == std::string::npos || sum_at < head.size())
        return -1;
    char want[16];
    std::snprintf(want, sizeof want, "%08x\n", fnv1a(t.data(), sum_at));
    long long inv = -1;
    if (t.compare(sum_at + 4, std::string::npos, want) != 0 ||
        !parse_int(t.data() + head.size(), t.data() + sum_at - 1, &inv) || inv < 0)
        return -1;
    return static_cast<long>(inv);
}

}  // namespace

namespace OperationRecord {

void SetLink(const std::string& link)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_link.clear();
    for (char c : link)
        g_link += (c == '\n' || c == '\r') ? ' ' : c;
}

void NoteJournalPosition(long invoice)
{
    if (invoice <= 0)
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    const std::string dir = dir_locked();
    const bool had = g_held_fd >= 0 && g_held_dir == dir;
    if (!had && !hold_locked(dir))
        return;  // the directory's record is another process's
    std::string text = std::string(kPositionVersion) + "link=" + g_link + "\ninvoice=" + std::to_string(invoice) + "\n";
    char sum[16];
    std::snprintf(sum, sizeof sum, "sum=%08x\n", fnv1a(text.data(), text.size()));
    text += sum;
    if (!replace_file(dir, kPositionFile, text.data(), text.size()))
        LOGREC(LOG_ERROR) << " journal position not written[" << dir << "/" << kPositionFile << "]";
    if (!had)
        release_locked();
}

long JournalPosition()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return position_locked();
}

bool SetDir(const std::string& dir)
{
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    std::lock_guard<std::mutex> lock(g_lock);
    g_dir = dir;
    return true;
}

void SetDefaultDir(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_default_dir = dir;
}

std::string Path()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return dir_locked() + "/" + kFileName;
}

bool Write(const _init_transaction_request& request)
{
    OperationEntry e;
    e.op = request.trx_type;
    e.amount = request.amount;
    e.invoice = std::strtol(request.invoice_num, nullptr, 10);
    e.ecr_receipt = request.ecr_receipt_num;
    e.written_at = static_cast<long long>(std::time(nullptr));
    std::lock_guard<std::mutex> lock(g_lock);
    ++g_written;
    e.journal_pos = position_locked();
    return write_locked(e);
}

bool NoteTerminalInvoice(long invoice)
{
    std::lock_guard<std::mutex> lock(g_lock);
    OperationEntry e;
    const std::string dir = dir_locked();
    if (g_held_fd < 0 || g_held_dir != dir || read_locked(dir + "/" + kFileName, &e) != Read::Valid)
        return false;
    e.terminal_invoice = invoice;
    return write_locked(e);
}

uint64_t MarkDecided()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_decided = g_written;
    return g_written;
}

void Clear()
{
    ClearIf(0);
}

void ClearIf(uint64_t generation)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (generation != 0 && generation != g_written)
        return;  // a later operation's record
    g_decided = 0;
    const std::string dir = dir_locked();
    // Another process's record is not ours to remove; a record left by a
    // process that died is ours once its lock can be taken.
    if (!hold_locked(dir))
        return;
    if (::unlink((dir + "/" + kFileName).c_str()) == 0)
        sync_dir(dir);
    release_locked();
}

bool Load(OperationEntry* entry)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return load_locked(entry);
}

State Inspect(OperationEntry* entry, std::string* aside)
{
    std::lock_guard<std::mutex> lock(g_lock);
    const std::string dir = dir_locked();
    if (held_elsewhere_locked(dir) || decided_locked())
        return State::None;
    const std::string path = dir + "/" + kFileName;
    const Read r = read_locked(path, entry);
    if (r != Read::Damaged)
        return r == Read::Valid ? State::Valid : State::None;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".damaged-%lld-%ld", static_cast<long long>(std::time(nullptr)),
                  static_cast<long>(::getpid()));
    *aside = path + suffix;
    // rename moves a planted link itself, never what it points to.
    if (::rename(path.c_str(), aside->c_str()) != 0)
        aside->clear();
    return State::Damaged;
}

}  // namespace OperationRecord
