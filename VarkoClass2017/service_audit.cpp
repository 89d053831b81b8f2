// The audit, handed to the cash register one record per call, and the X
// report.
#include <strings.h>

#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/caller_text.h"
#include "VarkoClass2017/link_claim.h"
#include "protocol/audit.h"

namespace {

bool last_of_series(const _ecr_audit_report& r)
{
    return strncasecmp(r.record_number, r.record_count, sizeof(r.record_number)) == 0;
}

}  // namespace

// The first call runs the audit exchange and hands out the first record;
// every further call hands out the next one.  `more` of a handed-out record
// is "1" while further records follow and "0" for the last; after the last
// record one more call writes the end marker "0" (with its terminator) and
// the next call starts a new audit.  An audit of a single record has no end
// marker: the call after it starts a new audit.  The index is 32 bits wide,
// so an audit of any size the terminal may send (up to 10000 records) is
// paged to its end.
HRESULT CVarkoClass2017::PosAudit(char* selection, char* record)
{
    LOGREC(LOG_INFO);
    if (record == nullptr)
        return 1;

    if (m_AuditNew) {
        if (selection == nullptr)
            return 1;
        if (has_link_byte(selection))
            return E_INVALIDARG;
        return on_link(*this, [&](PosHandle* handle) -> HRESULT {
            const unsigned int status = pos_audit_request(handle, &m_AuditRecords, selection);
            m_AuditIndex = 0;
            if (status != SE_OK)
                return E_FAIL;
            if (m_AuditRecords.empty())
                return E_FAIL;

            _ecr_audit_report& first = m_AuditRecords[0];
            if (m_AuditRecords.size() == 1) {
                first.more[0] = '0';
                m_AuditNew = true;
            } else {
                first.more[0] = '1';
                m_AuditNew = false;
            }
            std::memcpy(record, &first, sizeof(first));
            return 0;
        });
    }

    m_AuditIndex += 1;
    if (m_AuditIndex >= m_AuditRecords.size()) {
        record[0] = '0';
        record[1] = '\0';
        m_AuditNew = true;
        return 0;
    }

    _ecr_audit_report& next = m_AuditRecords[m_AuditIndex];
    next.more[0] = last_of_series(next) ? '0' : '1';
    std::memcpy(record, &next, sizeof(next));
    return 0;
}

HRESULT CVarkoClass2017::PosPrintXReport()
{
    LOGREC(LOG_INFO);
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        if (Pos_Print_X_Report(handle) != SE_OK)
            return E_FAIL;
        return 0;
    });
}
