// The resolver file check on any file content and any configuration: never
// a crash, the same findings however the file is cut into reads, and the
// same findings as a plain line-by-line reading of the rules.
#include "resolver_scan.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"

namespace {

// What a configured value is once passed as a C string.
std::string AsCString(const std::string& s) {
    return std::string(s.c_str());
}

resolver_findings Reference(std::string_view text, const char* s1, const char* s2,
                            const dns_suffix_list& suffixes) {
    resolver_findings found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const std::string_view line = text.substr(start, end - start);
        start = end;
        if (s1 && line.find("nameserver " + std::string(s1)) != std::string_view::npos)
            found.server1 = true;
        if (s2 && line.find("nameserver " + std::string(s2)) != std::string_view::npos)
            found.server2 = true;
        if (line.substr(0, 6) != "search") continue;
        for (int slot = 0; slot < kDnsSuffixSlots; ++slot)
            if (suffixes[slot] && line.find(suffixes[slot]) != std::string_view::npos)
                found.suffixes[slot] = true;
    }
    return found;
}

bool Same(const resolver_findings& a, const resolver_findings& b) {
    return a.server1 == b.server1 && a.server2 == b.server2 && a.suffixes == b.suffixes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string server1 = AsCString(in.ConsumeRandomLengthString(24));
    std::string server2 = AsCString(in.ConsumeRandomLengthString(24));
    const bool has1 = in.ConsumeBool(), has2 = in.ConsumeBool();
    std::array<std::string, kDnsSuffixSlots> suffix_text;
    dns_suffix_list suffixes{};
    const int set = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < set; ++i) {
        const int slot = in.ConsumeIntegralInRange(0, kDnsSuffixSlots - 1);
        suffix_text[slot] = AsCString(in.ConsumeRandomLengthString(16));
        suffixes[slot] = suffix_text[slot].c_str();
    }
    std::vector<size_t> cuts;
    const int pieces = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < pieces; ++i) cuts.push_back(in.ConsumeIntegralInRange<size_t>(1, 64));
    const std::string text = in.ConsumeRemainingBytesAsString();
    const char* s1 = has1 ? server1.c_str() : nullptr;
    const char* s2 = has2 ? server2.c_str() : nullptr;

    const auto whole = scan_resolver_text(text, s1, s2, suffixes);
    if (!Same(whole, Reference(text, s1, s2, suffixes))) ksfuzz::Mismatch("scan against the rules");

    resolver_scan scan(s1, s2, suffixes);
    std::string_view rest = text;
    for (size_t i = 0; !rest.empty(); ++i) {
        const size_t n = cuts.empty() ? rest.size() : std::min(rest.size(), cuts[i % cuts.size()]);
        scan.feed(rest.substr(0, n));
        rest.remove_prefix(n);
    }
    if (!Same(scan.finish(), whole)) ksfuzz::Mismatch("chunked scan against the whole");

    // Two reads, cut at every byte of a short input: inside every pattern.
    if (text.size() <= 256) {
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            resolver_scan two(s1, s2, suffixes);
            two.feed(std::string_view(text).substr(0, cut));
            two.feed(std::string_view(text).substr(cut));
            if (!Same(two.finish(), whole)) ksfuzz::Mismatch("scan cut in two against the whole");
        }
    }
    return 0;
}
