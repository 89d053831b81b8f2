// The record of a payment in flight, kept on disk from just before its
// request is written until its outcome is known, so that a payment whose
// process died can be resolved from the terminal's journal.  It holds the
// operation, the amount, the invoice, the cash register's receipt number and
// the time; never card data.
#pragma once
#include <cstdint>
#include <string>

#include "protocol/records.h"

struct OperationEntry {
    unsigned op = 0;
    double amount = 0;
    long invoice = 0;           // of the request (the original of a void); 0: none
    uint64_t ecr_receipt = 0;
    long terminal_invoice = 0;  // the terminal's number for this payment, once its answer was read; 0: none
    long long written_at = 0;   // seconds since the epoch
    // Where the terminal's journal stood before the request: the invoice of
    // the last transaction this library saw on that terminal; -1: not known.
    long journal_pos = -1;
};

namespace OperationRecord {

// The directory of the record: set by the application, else the log's.
bool SetDir(const std::string& dir);    // false: not a directory
void SetDefaultDir(const std::string& dir);
std::string Path();

// Atomically replaces the record (write to a temporary file of its own,
// fsync, rename, fsync of the directory); false when it cannot be written
// or a payment of another process sharing the directory holds it (the
// payment goes on without a record).  While this process has a record, it
// holds an advisory lock on "<record>.lock", which its death releases.
bool Write(const _init_transaction_request& request);
// Adds the terminal's invoice number of the payment to the record, so that
// its outcome can be asked for by that number; false when there is no
// record or it cannot be written.
bool NoteTerminalInvoice(long invoice);
// The link the records are about ("tcp 10.0.0.5:2000", "serial /dev/ttyS0"):
// a journal position noted on another link is not taken for this one.
void SetLink(const std::string& link);
// Notes where the terminal's journal stands (an invoice the terminal gave a
// transaction), on disk beside the record, unless another process holds the
// directory's record.
void NoteJournalPosition(long invoice);
// The journal position last noted on this link; -1 when not known.
long JournalPosition();

// Removes this process's record (never another process's).
void Clear();
// The payment of this process's last record is decided; the record stays
// until ClearIf(the number returned), but Load and Inspect no longer find it
// (nothing to recover).  A process that dies before ClearIf leaves it on
// disk for the next one.
uint64_t MarkDecided();
// Clear, unless a record was begun after the one of `generation`: an
// operation decided earlier does not remove a later operation's record.
void ClearIf(uint64_t generation);
// Reads a left-behind record; false when there is none, when it is damaged,
// or when a payment of another process holds it.
bool Load(OperationEntry* entry);

// What a look at the record finds.
enum class State {
    None,     // no record, or one that a payment of another live process holds
    Valid,    // a well-formed record, in *entry
    Damaged,  // truncated, corrupted, of an unknown format, or not a plain file
};
// Reads the record as Load does, and sets a damaged one aside (renamed, the
// target of a planted link untouched) so that it is never taken as zeros;
// *aside names where it went.
State Inspect(OperationEntry* entry, std::string* aside);

}  // namespace OperationRecord
