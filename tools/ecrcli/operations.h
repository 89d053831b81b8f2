// The library call of each subcommand with its arguments bound, and the
// reading of what it leaves: the last transaction or the service's answer.
#pragma once
#include "ecrcli/cli.h"
#include "ecrcli/library.h"
#include "ecrcli/report.h"
#include "ecrcli/runner.h"

namespace ecrcli {

// The operation of o.def (missing exports are noted in lib.error).
Operation make_operation(Library& lib, const Options& o);
// The last transaction, field by field; for a stored-transaction query
// (call Gtl, Gts, Gti) what the stored transaction was and its response code.
void add_last_transaction(const Library& lib, Report& r, Call call);

}  // namespace ecrcli
