// The DNS watch: keeps the tunnel's servers and search suffixes in
// "/etc/resolv.conf", asking the client to set them up again when something
// removed them, and pausing for 12 calls after three repairs in a row.
#pragma once

#include "dns_settings.h"

// One check of the resolver file (absent servers and suffixes are null).
// Before a repair it checks the shutdown flag, so it may end the process.
// Keeps its pause and repair counts between calls, for the process's life.
void test_dns(const char* dns1, const char* dns2, const dns_suffix_list& suffixes);
