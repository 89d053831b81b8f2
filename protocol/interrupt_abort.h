// Interrupt (IRT10.) and abort (PUR11. / PUR13.) of a running transaction.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"

ECRBRIDGE_API unsigned int send_receive_interrupt(void* handle);
ECRBRIDGE_API unsigned int send_receive_abort(void* handle, _ecr_transaction_report* report);
