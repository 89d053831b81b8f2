// The operation record on disk: what is read back, what is set aside, and
// what two processes sharing one directory do to each other's record.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "VarkoClass2017/operation_record.h"
#include "ecrbridge.h"
#include "support/files.h"

namespace {

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ecr_record_XXXXXX";
        dir = mkdtemp(tmpl);
        ASSERT_TRUE(OperationRecord::SetDir(dir));
        path = dir + "/ecrbridge.oprecord";
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    _init_transaction_request purchase(double amount, unsigned long long receipt) const
    {
        _init_transaction_request r{};
        r.trx_type = 1;
        r.amount = amount;
        r.ecr_receipt_num = receipt;
        std::strcpy(r.invoice_num, "000042");
        return r;
    }
    // Everything in the directory but the lock file, one name a line.
    std::string listing() const
    {
        std::string out;
        FILE* p = popen(("ls -A '" + dir + "' | grep -v '\\.lock$'").c_str(), "r");
        char line[256];
        while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr)
            out += line;
        if (p != nullptr)
            pclose(p);
        return out;
    }

    std::string dir, path;
};

TEST_F(RecordTest, WrittenRecordReadsBackWithItsTerminalInvoiceAndGoesOnClear)
{
    ASSERT_TRUE(OperationRecord::Write(purchase(12.34, 57)));
    ASSERT_TRUE(OperationRecord::NoteTerminalInvoice(123));
    const std::string text = support::read_file(path);
    EXPECT_EQ(text.rfind("ecrbridge-record 2\nop=1\ncents=1234\ninvoice=42\nreceipt=57\nterminal_invoice=123\ntime=", 0),
              0u)
        << text;
    OperationEntry e;
    std::string aside;
    ASSERT_EQ(OperationRecord::Inspect(&e, &aside), OperationRecord::State::Valid);
    EXPECT_EQ(e.op, 1u);
    EXPECT_DOUBLE_EQ(e.amount, 12.34);
    EXPECT_EQ(e.invoice, 42);
    EXPECT_EQ(e.ecr_receipt, 57u);
    EXPECT_EQ(e.terminal_invoice, 123);
    OperationRecord::Clear();
    EXPECT_EQ(listing(), "");
}

// A payment decided earlier removes its own record only: one begun since
// (a payment started from its callback) stays.
TEST_F(RecordTest, DecidedPaymentLeavesALaterRecord)
{
    ASSERT_TRUE(OperationRecord::Write(purchase(2.50, 1)));
    const uint64_t first = OperationRecord::MarkDecided();
    OperationEntry e;
    EXPECT_FALSE(OperationRecord::Load(&e));  // decided: nothing to recover, though on disk
    EXPECT_NE(listing(), "");
    ASSERT_TRUE(OperationRecord::Write(purchase(2.50, 2)));
    OperationRecord::ClearIf(first);
    ASSERT_TRUE(OperationRecord::Load(&e));
    EXPECT_EQ(e.ecr_receipt, 2u);
    OperationRecord::ClearIf(OperationRecord::MarkDecided());
    EXPECT_EQ(listing(), "");
}

// Records of the first format are read without the process's locale.
TEST_F(RecordTest, FirstFormatIsReadWhateverTheLocale)
{
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // where installed: a comma is its decimal point
    support::write_file(path, "op=2\namount=12.3\ninvoice=\nreceipt=0\ntime=1\n");
    OperationEntry e;
    EXPECT_TRUE(OperationRecord::Load(&e));
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(e.op, 2u);
    EXPECT_DOUBLE_EQ(e.amount, 12.30);
    EXPECT_EQ(e.invoice, 0);
}

struct Damage {
    const char* name;
    std::string text;
};

std::string good_text()
{
    return "ecrbridge-record 2\nop=1\ncents=250\ninvoice=0\nreceipt=0\nterminal_invoice=0\ntime=5\nsum=";
}

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedRecord : public RecordTest, public ::testing::WithParamInterface<Damage> {};

// A record that fails its checks is never taken as zeros: recovery says
// unknown without asking the terminal, and the file is kept aside.
TEST_P(DamagedRecord, IsSetAsideAndRecoveredAsUnknown)
{
    support::write_file(path, GetParam().text);
    OperationEntry e;
    EXPECT_FALSE(OperationRecord::Load(&e));
    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_UNKNOWN);
    EXPECT_EQ(ecrb_last_outcome(), ECRB_OUTCOME_UNKNOWN);
    EXPECT_NE(std::strstr(ecrb_last_outcome_reason(), "damaged"), nullptr);
    const std::string left = listing();
    EXPECT_EQ(left.rfind("ecrbridge.oprecord.damaged-", 0), 0u) << left;
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
}

const Damage kDamages[] = {
    {"empty", ""},
    {"cut_in_a_line", good_text().substr(0, 40)},
    {"cut_before_the_sum", good_text().substr(0, good_text().size() - 4)},
    {"wrong_sum", good_text() + "00000000\n"},
    {"first_format_missing_op", "amount=1.00\ninvoice=\nreceipt=0\ntime=1\n"},
    {"first_format_letters", "op=1\namount=1.0x\ninvoice=\nreceipt=0\ntime=1\n"},
    {"first_format_three_decimals", "op=1\namount=1.005\ninvoice=\nreceipt=0\ntime=1\n"},
    {"first_format_unknown_line", "op=1\namount=1\ninvoice=\nreceipt=0\ntime=1\nowner=x\n"},
    {"binary", std::string("op=1\n\0\xff\x02", 8)},
    {"oversized", std::string(4096, '9')},
};

INSTANTIATE_TEST_SUITE_P(Records, DamagedRecord, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// A link planted in the record's place is moved aside itself; what it points
// to is neither read nor changed.
TEST_F(RecordTest, PlantedLinkIsSetAsideAndItsTargetUntouched)
{
    const std::string target = dir + "/target";
    support::write_file(target, "op=1\namount=1\ninvoice=\nreceipt=0\ntime=1\n");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(ecrb_recover(), ECRB_OUTCOME_UNKNOWN);
    EXPECT_EQ(support::read_file(target), "op=1\namount=1\ninvoice=\nreceipt=0\ntime=1\n");
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
    // The next record is a file of its own, not a write through the link.
    ASSERT_TRUE(OperationRecord::Write(purchase(1.0, 0)));
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(support::read_file(target), "op=1\namount=1\ninvoice=\nreceipt=0\ntime=1\n");
    OperationRecord::Clear();
}

// Another live process paying with the same directory holds the record's
// lock: its record is not read, replaced or removed from here.  A lock taken
// through a file description of its own stands for that process.
TEST_F(RecordTest, AnotherProcessesRecordIsLeftAlone)
{
    support::write_file(path, "op=1\namount=2.50\ninvoice=\nreceipt=0\ntime=1\n");
    const int other = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    OperationEntry e;
    std::string aside;
    EXPECT_EQ(OperationRecord::Inspect(&e, &aside), OperationRecord::State::None);
    EXPECT_FALSE(OperationRecord::Write(purchase(9.99, 1)));
    OperationRecord::Clear();
    EXPECT_EQ(support::read_file(path), "op=1\namount=2.50\ninvoice=\nreceipt=0\ntime=1\n");

    // Its death releases the lock: the record left behind is then ours.
    close(other);
    EXPECT_EQ(OperationRecord::Inspect(&e, &aside), OperationRecord::State::Valid);
    EXPECT_DOUBLE_EQ(e.amount, 2.50);
    OperationRecord::Clear();
    EXPECT_EQ(listing(), "");
}

}  // namespace
