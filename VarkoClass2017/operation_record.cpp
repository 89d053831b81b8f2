// The operation record on disk: one small text file, replaced atomically.
#include "VarkoClass2017/operation_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Logging/log.h"

namespace {

constexpr const char* kFileName = "ecrbridge.oprecord";

std::mutex g_lock;
std::string g_dir;          // set by the application
std::string g_default_dir;  // the log's directory

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
        if (w < 0)
            return false;
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

}  // namespace

namespace OperationRecord {

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

namespace {

// The amount is kept in minor units: a decimal point would follow the
// process's locale.
long long minor_units(double amount)
{
    return static_cast<long long>(amount * 100.0 + (amount < 0 ? -0.5 : 0.5));
}

bool write_locked(const OperationEntry& e)
{
    char text[256];
    const int n = std::snprintf(text, sizeof text,
                                "op=%u\ncents=%lld\ninvoice=%ld\nreceipt=%llu\nterminal_invoice=%ld\ntime=%lld\n",
                                e.op, minor_units(e.amount), e.invoice,
                                static_cast<unsigned long long>(e.ecr_receipt), e.terminal_invoice, e.written_at);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text)
        return false;
    const std::string dir = dir_locked();
    const std::string path = dir + "/" + kFileName;
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0 && write_all(fd, text, static_cast<size_t>(n)) && ::fsync(fd) == 0;
    if (fd >= 0)
        ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        LOGREC(LOG_ERROR) << " operation record not written[" << path << "]";
        return false;
    }
    sync_dir(dir);
    return true;
}

bool load_locked(OperationEntry* entry)
{
    const std::string path = dir_locked() + "/" + kFileName;
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    OperationEntry e;
    char line[128];
    int fields = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        char* eq = std::strchr(line, '=');
        if (eq == nullptr)
            continue;
        *eq = '\0';
        const char* value = eq + 1;
        if (std::strcmp(line, "op") == 0) {
            e.op = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
            ++fields;
        } else if (std::strcmp(line, "cents") == 0) {
            e.amount = static_cast<double>(std::strtoll(value, nullptr, 10)) / 100.0;
        } else if (std::strcmp(line, "amount") == 0) {
            e.amount = std::strtod(value, nullptr);
        } else if (std::strcmp(line, "invoice") == 0) {
            e.invoice = std::strtol(value, nullptr, 10);
        } else if (std::strcmp(line, "receipt") == 0) {
            e.ecr_receipt = std::strtoull(value, nullptr, 10);
        } else if (std::strcmp(line, "terminal_invoice") == 0) {
            e.terminal_invoice = std::strtol(value, nullptr, 10);
        } else if (std::strcmp(line, "time") == 0) {
            e.written_at = std::strtoll(value, nullptr, 10);
        }
    }
    std::fclose(f);
    if (fields == 0)
        return false;
    *entry = e;
    return true;
}

}  // namespace

bool Write(const _init_transaction_request& request)
{
    OperationEntry e;
    e.op = request.trx_type;
    e.amount = request.amount;
    e.invoice = std::strtol(request.invoice_num, nullptr, 10);
    e.ecr_receipt = request.ecr_receipt_num;
    e.written_at = static_cast<long long>(std::time(nullptr));
    std::lock_guard<std::mutex> lock(g_lock);
    return write_locked(e);
}

bool NoteTerminalInvoice(long invoice)
{
    std::lock_guard<std::mutex> lock(g_lock);
    OperationEntry e;
    if (!load_locked(&e))
        return false;
    e.terminal_invoice = invoice;
    return write_locked(e);
}

void Clear()
{
    std::lock_guard<std::mutex> lock(g_lock);
    const std::string dir = dir_locked();
    if (::unlink((dir + "/" + kFileName).c_str()) == 0)
        sync_dir(dir);
}

bool Load(OperationEntry* entry)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return load_locked(entry);
}

}  // namespace OperationRecord
