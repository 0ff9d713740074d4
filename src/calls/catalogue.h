// The catalogue query of klgetinfo, for calls that ask the catalogue
// themselves while their own call is in progress.
#pragma once

#include "klsrv32.h"

namespace kl {

// klgetinfo's work inside its call frame: the checks, the items the
// library answers itself, or the request and its one answer record, whose
// data go to buffer.  The status holds the outcome.  klinsert runs it with
// run_nested_call, so its catalogue queries happen while it keeps the
// owner word and trace as the exported call does.
void get_info(kl_long instance, const char* options, const kl_long* qualifier_items,
              const char* qualifiers, const kl_long* buffer_items, char* buffer, klstatus& st);

} // namespace kl
