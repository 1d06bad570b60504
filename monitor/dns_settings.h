// The tunnel's DNS settings as the monitor receives them in its environment.
#pragma once

#include <array>

inline constexpr int kDnsSuffixSlots = 32;

// DNSSUFFIX0 to DNSSUFFIX31; an entry is null when its variable is unset.
// Gaps are allowed: a suffix after an unset slot is still watched.
using dns_suffix_list = std::array<const char*, kDnsSuffixSlots>;
