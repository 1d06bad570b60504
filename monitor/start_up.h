// What the monitor does before anything else at start-up: answer a lone
// --help or --version, refuse any other option, and keep what its starter left open from reaching
// the programs it runs.
#pragma once

#include <optional>

// For a lone "--help" or "--version" (argc == 2), prints the usage or
// "ksMonitor <version>" on standard output and returns the exit status, 0.
// For any other argument that begins with '-' (a mistyped option, or
// --help among other arguments), names it and prints the usage on standard
// error and returns 64 (EX_USAGE): starting a second monitor there would
// rewrite, and on its way out delete, the running monitor's shared flag.
// Nothing for every other argument vector: the client may pass plain
// arguments, and the monitor ignores them, as it always has.
std::optional<int> answer_lone_option(int argc, const char* const* argv);

// Marks every descriptor from 3 up close-on-exec, so that nothing the
// starter left open reaches the repair command's shell. Descriptors opened
// later are the monitor's own and carry O_CLOEXEC already.
void close_inherited_on_exec();
