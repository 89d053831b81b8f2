// The service members' common step: one exchange into a zeroed record of
// the ECR object.
#pragma once
#include <cstring>

#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/link_claim.h"
#include "protocol/status.h"

namespace {

// E_FAIL without a connection, while another operation has the link, or
// when the exchange fails; 0 otherwise.
template <class Record, class Exchange>
HRESULT exchange_into(CVarkoClass2017& ecr, Record& record, Exchange exchange)
{
    return on_link(ecr, [&](PosHandle* handle) -> HRESULT {
        std::memset(&record, 0, sizeof(record));
        return exchange(handle, &record) == SE_OK ? 0 : E_FAIL;
    });
}

}  // namespace
