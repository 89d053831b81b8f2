// Resolving a payment whose outcome was never known: the operation record
// left behind is compared with the terminal's journal.  An entry counts as
// this payment only when it is proven to be: the invoice the terminal gave
// this payment, or an entry newer than where the journal stood before the
// request that agrees in amount (and receipt number, when the cash register
// gave one).  Whatever the journal cannot prove is unknown, never a guess.
#include <cmath>
#include <cstring>
#include <string>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/operation_record.h"
#include "VarkoClass2017/outcome.h"
#include "protocol/stored_transactions.h"

namespace {

// The longest run of journal entries between the position and the last one
// that recovery reads one by one.
constexpr long kMaxScan = 16;

// Voids name the transaction they cancel by its invoice; the journal holds
// them with that transaction's amount.
bool names_an_earlier_transaction(unsigned op) { return op == 8 || op == 47; }

struct Journal {
    PosHandle* handle;
    unsigned int status = SE_OK;  // of the last failed query

    // One entry: true with *out when the terminal has it, false when not
    // (or the query failed: status says which).
    bool by_invoice(long invoice, _ecr_transaction_report* out)
    {
        std::memset(out, 0, sizeof *out);
        const unsigned int s = pos_get_transaction_data_by_invoice(handle, 0, static_cast<int32_t>(invoice), out);
        if (s != SE_OK)
            status = s;
        return s == SE_OK && out->InvoceNumber != 0 && static_cast<long>(out->InvoceNumber) == invoice;
    }
    bool last(_ecr_transaction_report* out)
    {
        std::memset(out, 0, sizeof *out);
        const unsigned int s = pos_get_last_transaction_data(handle, 0, out);
        if (s != SE_OK)
            status = s;
        return s == SE_OK && out->InvoceNumber != 0;
    }
};

struct Verdict {
    int outcome;
    const char* reason;
    bool have_report = false;
    _ecr_transaction_report report{};
    long newest = 0;  // the journal's last invoice, when it was read
};

Verdict decided(const _ecr_transaction_report& r)
{
    Verdict v{r.ResponseCode == 0 ? ECRB_OUTCOME_APPROVED : ECRB_OUTCOME_DECLINED,
              r.ResponseCode == 0 ? "recovered: approved in the terminal's journal"
                                  : "recovered: declined in the terminal's journal"};
    v.have_report = true;
    v.report = r;
    return v;
}

// Whether a journal entry is the recorded payment, all else being proven.
// A void's request carries no receipt number of the cash register (only the
// voided invoice), so its journal entry cannot agree in one.
bool agrees(const OperationEntry& e, double amount, const _ecr_transaction_report& r)
{
    if (e.ecr_receipt != 0 && !names_an_earlier_transaction(e.op) &&
        static_cast<uint64_t>(r.EcrReceiptNum) != e.ecr_receipt)
        return false;
    return std::fabs(r.Amount - amount) < 0.005;
}

// The entries newer than the position, newest first: the payment's, or
// proof that the terminal made none.
Verdict scan_newer(Journal& j, const OperationEntry& e, double amount, const _ecr_transaction_report& last)
{
    const long pos = e.journal_pos;
    const long newest = static_cast<long>(last.InvoceNumber);
    if (agrees(e, amount, last))
        return decided(last);
    if (newest - pos > kMaxScan)
        return {ECRB_OUTCOME_UNKNOWN, "too many transactions since the payment to tell: check the terminal's journal"};
    _ecr_transaction_report r{};
    for (long inv = newest - 1; inv > pos; --inv) {
        if (j.by_invoice(inv, &r) && agrees(e, amount, r))
            return decided(r);
        if (j.status != SE_OK)
            return {E_FAIL, nullptr};
    }
    return {ECRB_OUTCOME_NOT_SENT, "recovered: no transaction of the terminal since the request is this payment"};
}

Verdict ask(Journal& j, const OperationEntry& e)
{
    double amount = e.amount;
    _ecr_transaction_report r{};
    if (names_an_earlier_transaction(e.op)) {
        if (e.invoice <= 0 || !j.by_invoice(e.invoice, &r)) {
            if (j.status != SE_OK)
                return {E_FAIL, nullptr};  // not asked, so not known to be missing
            return {ECRB_OUTCOME_UNKNOWN, "the voided transaction is not in the terminal's journal: check it by hand"};
        }
        amount = r.Amount;
    }
    // The invoice the terminal gave this very payment is proof by itself.
    if (e.terminal_invoice > 0 && j.by_invoice(e.terminal_invoice, &r) && agrees(e, amount, r))
        return decided(r);
    _ecr_transaction_report last{};
    const bool any = j.last(&last);
    if (j.status != SE_OK)
        return {E_FAIL, nullptr};
    const long newest = any ? static_cast<long>(last.InvoceNumber) : 0;
    // A "not sent" read the journal to its end: its last invoice goes with it.
    const auto not_sent = [newest](const char* reason) {
        Verdict v{ECRB_OUTCOME_NOT_SENT, reason};
        v.newest = newest;
        return v;
    };
    if (e.terminal_invoice > 0 && newest > e.terminal_invoice)
        return not_sent("recovered: the terminal numbered the payment but did not keep it");
    if (e.journal_pos < 0)
        return {ECRB_OUTCOME_UNKNOWN, any && agrees(e, amount, last)
                                          ? "an earlier payment of the same amount cannot be told from this one: "
                                            "check the terminal's journal"
                                          : "where the terminal's journal stood before the payment is not known: "
                                            "check the terminal's journal"};
    if (!any || newest < e.journal_pos)
        return {ECRB_OUTCOME_UNKNOWN, "the terminal's journal was emptied since the payment (a settlement?): "
                                      "check the terminal's batch report"};
    if (newest == e.journal_pos)
        return not_sent("recovered: the terminal's journal holds nothing newer than before the request");
    Verdict v = scan_newer(j, e, amount, last);
    if (v.outcome == ECRB_OUTCOME_NOT_SENT)
        v.newest = newest;
    return v;
}

}  // namespace

int CVarkoClass2017::Recover()
{
    OperationEntry entry;
    std::string aside;
    switch (OperationRecord::Inspect(&entry, &aside)) {
    case OperationRecord::State::None:
        return ECRB_OUTCOME_NONE;
    case OperationRecord::State::Damaged:
        // Never read as zeros: whatever it held is not known.
        LOGREC(LOG_ERROR) << " operation record damaged, kept aside[" << aside << "]";
        set_outcome(ECRB_OUTCOME_UNKNOWN,
                    "the operation record was damaged and is kept aside: check the terminal's journal by hand");
        return ECRB_OUTCOME_UNKNOWN;
    case OperationRecord::State::Valid:
        break;
    }

    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    PosHandle* handle = m_Transport.GetHandle();
    if (handle == nullptr) {
        LOGREC(LOG_ERROR) << "Can't get handle! return E_FAIL";
        return E_FAIL;
    }

    Journal journal{handle};
    const Verdict v = ask(journal, entry);
    if (v.outcome == E_FAIL) {
        LOGREC(LOG_ERROR) << " journal query failed[" << journal.status << "] the operation record stays";
        return E_FAIL;
    }
    if (v.have_report) {
        m_LastReport = v.report;
        OperationRecord::NoteJournalPosition(static_cast<long>(v.report.InvoceNumber));
    }
    // A payment not kept may have left the position at the number the
    // terminal gave it (its confirmation went unacknowledged): the journal's
    // real end is the position from now on, or the next recovery would take
    // the journal for emptied.
    if (v.newest > 0)
        OperationRecord::NoteJournalPosition(v.newest);
    set_outcome(v.outcome, v.reason);
    LOGREC(LOG_INFO) << " recovered operation[" << entry.op << "] written at[" << entry.written_at << "] outcome["
                     << v.outcome << "] " << last_outcome_reason();
    // An unknown answer keeps the record: the technician's check may need it.
    if (v.outcome != ECRB_OUTCOME_UNKNOWN)
        OperationRecord::Clear();
    return v.outcome;
}
