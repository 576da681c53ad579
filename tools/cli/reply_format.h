// reply_format.h — vorel-cli: how a reply is shown, readable (typed and with
// nested aggregates numbered and indented) or raw (bare values, one per line).
#pragma once

#include <string>

#include "tools/cli/resp_reply.h"

namespace cli {

// Readable form without a final line end, e.g. "(integer) 5", "(nil)" or
//   1) "a"
//   2) 1) "b"
//      2) "c"
std::string format_readable(const Reply& reply);

// Raw form without a final line end: strings as they are, numbers as digits,
// nil as an empty line, aggregates one element per line.
std::string format_raw(const Reply& reply);

}  // namespace cli
