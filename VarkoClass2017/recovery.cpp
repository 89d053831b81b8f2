// Resolving a payment whose outcome was never known: the operation record
// left behind is compared with the terminal's journal, by the terminal's
// invoice number when its answer had been read, else by its last
// transaction.
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

// A journal entry is the recorded payment when the amount and the cash
// register's receipt number agree (and the invoice number, when known).
bool same_payment(const OperationEntry& e, const _ecr_transaction_report& r)
{
    if (e.terminal_invoice != 0 && static_cast<long>(r.InvoceNumber) != e.terminal_invoice)
        return false;
    return std::fabs(r.Amount - e.amount) < 0.005 && static_cast<uint64_t>(r.EcrReceiptNum) == e.ecr_receipt;
}

// Asks the journal for the payment: true with the entry in *found, false
// when the journal holds another transaction; the status of a failed query
// in *status.
bool find_in_journal(PosHandle* handle, const OperationEntry& entry, _ecr_transaction_report* found,
                     unsigned int* status)
{
    if (entry.terminal_invoice > 0 && entry.terminal_invoice <= 999999) {
        std::memset(found, 0, sizeof *found);
        if (pos_get_transaction_data_by_invoice(handle, 0, static_cast<int32_t>(entry.terminal_invoice), found) ==
                SE_OK &&
            same_payment(entry, *found))
            return true;
        LOGREC(LOG_INFO) << " invoice[" << entry.terminal_invoice << "] not in the journal, asking for the last";
    }
    std::memset(found, 0, sizeof *found);
    *status = pos_get_last_transaction_data(handle, 0, found);
    OperationEntry by_last = entry;
    by_last.terminal_invoice = 0;
    return *status == SE_OK && same_payment(by_last, *found);
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

    _ecr_transaction_report journal{};
    unsigned int status = SE_OK;
    const bool found = find_in_journal(handle, entry, &journal, &status);
    if (status != SE_OK) {
        LOGREC(LOG_ERROR) << " journal query failed[" << status << "] the operation record stays";
        return E_FAIL;
    }

    int outcome;
    if (!found) {
        outcome = ECRB_OUTCOME_NOT_SENT;
        set_outcome(outcome, "recovered: the terminal's journal does not hold the payment");
    } else {
        m_LastReport = journal;
        outcome = journal.ResponseCode == 0 ? ECRB_OUTCOME_APPROVED : ECRB_OUTCOME_DECLINED;
        set_outcome(outcome, outcome == ECRB_OUTCOME_APPROVED ? "recovered: approved in the terminal's journal"
                                                              : "recovered: declined in the terminal's journal");
    }
    LOGREC(LOG_INFO) << " recovered operation[" << entry.op << "] written at[" << entry.written_at << "] outcome["
                     << outcome << "] " << last_outcome_reason();
    OperationRecord::Clear();
    return outcome;
}
