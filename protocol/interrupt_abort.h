// Interrupt (IRT10.) and abort (PUR11. / PUR13.) of a running transaction.
#pragma once
#include "ecrbridge.h"
#include "protocol/records.h"
#include "protocol/status.h"
#include "protocol/transaction_exchange.h"

ECRBRIDGE_API unsigned int send_receive_interrupt(void* handle);
ECRBRIDGE_API unsigned int send_receive_abort(void* handle, _ecr_transaction_report* report);

// How a control exchange ended.  final None: the terminal answered the
// control itself (status SE_OK: it took it).  Otherwise the running
// operation's final response came as the answer (the terminal decided before
// the control reached it); it is decoded into *decided as any final response
// and final tells how far it got (Confirmed, Decoded: its confirmation not
// acknowledged, Undecodable: not confirmed).  Without decided, or for the
// interrupt without the operation's tag, such an answer fails as before.
// in_payment: the payment that owns the link runs the control; bytes that
// came meanwhile are not dropped.
struct ControlRead {
    unsigned int status;
    FinalStep final;
};
ControlRead interrupt_step(void* handle, const char* tag, _ecr_transaction_report* decided, bool in_payment);
ControlRead abort_step(void* handle, _ecr_transaction_report* report, _ecr_transaction_report* decided,
                       bool in_payment);
