// Resolving a payment whose outcome was never known: the operation record
// left behind is compared with the last transaction of the terminal's journal.
#include <cmath>
#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/operation_record.h"
#include "VarkoClass2017/outcome.h"
#include "protocol/stored_transactions.h"

namespace {

// The journal's last transaction is the recorded payment when the amount and
// the cash register's receipt number agree.
bool same_payment(const OperationEntry& e, const _ecr_transaction_report& r)
{
    return std::fabs(r.Amount - e.amount) < 0.005 && static_cast<uint64_t>(r.EcrReceiptNum) == e.ecr_receipt;
}

}  // namespace

int CVarkoClass2017::Recover()
{
    OperationEntry entry;
    if (!OperationRecord::Load(&entry))
        return ECRB_OUTCOME_NONE;

    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    PosHandle* handle = m_Transport.GetHandle();
    if (handle == nullptr) {
        LOGREC(LOG_ERROR) << "Can't get handle! return E_FAIL";
        return E_FAIL;
    }

    _ecr_transaction_report journal{};
    const unsigned int status = pos_get_last_transaction_data(handle, 0, &journal);
    if (status != SE_OK) {
        LOGREC(LOG_ERROR) << " journal query failed[" << status << "] the operation record stays";
        return E_FAIL;
    }

    int outcome;
    if (!same_payment(entry, journal)) {
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
