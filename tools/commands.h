// SPDX-License-Identifier: MIT
// The commands, as the command table (options.cpp) dispatches them. Each
// returns the exit status, or fails with a Failure.
#pragma once

namespace cli {

struct Options;

int seal(const Options &o);
int open(const Options &o);
int inspect(const Options &o);
int keygen(const Options &o);

}  // namespace cli
