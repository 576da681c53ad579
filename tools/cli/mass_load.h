// mass_load.h — vorel-cli --pipe: commands from standard input sent pipelined.
#pragma once

#include "tools/cli/connection.h"

namespace cli {

// Reads standard input to its end — requests in RESP form when it starts with
// '*', otherwise one command line per line — sends it all while reading the
// replies, and prints how many replies and error replies came back. Returns the
// exit status: 0 when every reply arrived and none was an error.
int mass_load(Connection& conn);

}  // namespace cli
