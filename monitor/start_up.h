// What the monitor does before anything else at start-up: answer a lone
// --help or --version, and keep what its starter left open from reaching
// the programs it runs.
#pragma once

#include <optional>

// For a lone "--help" or "--version" (argc == 2), prints the usage or
// "ksMonitor <version>" on standard output and returns the exit status, 0.
// Nothing for every other argument vector: the client may pass arguments,
// and the monitor ignores them, as it always has.
std::optional<int> answer_lone_option(int argc, const char* const* argv);

// Marks every descriptor from 3 up close-on-exec, so that nothing the
// starter left open reaches the repair command's shell. Descriptors opened
// later are the monitor's own and carry O_CLOEXEC already.
void close_inherited_on_exec();
