// The one way the product marks a result it ignores on purpose.
#pragma once

namespace kestrun {

// Takes a result and does nothing with it; each call says in a few words
// why the result does not matter there. A (void) cast is not enough: glibc
// declares calls such as write, fchown and ftruncate warn_unused_result,
// and gcc warns through the cast.
template <typename Result>
constexpr void ignore_result(const Result&) {}

}  // namespace kestrun
