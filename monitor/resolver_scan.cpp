#include "resolver_scan.h"

namespace {

constexpr std::string_view kServerKeyword = "nameserver ";
constexpr std::string_view kSuffixLinePrefix = "search";

// Whether the line contains "nameserver <server>", without building the
// pattern: every occurrence of the keyword is tried, since an earlier one
// may be followed by another address.
bool mentions_server(std::string_view line, std::string_view server) {
    for (size_t at = line.find(kServerKeyword); at != std::string_view::npos;
         at = line.find(kServerKeyword, at + 1)) {
        if (line.substr(at + kServerKeyword.size()).starts_with(server)) return true;
    }
    return false;
}

}  // namespace

int resolver_findings::suffixes_found() const {
    int count = 0;
    for (const bool found : suffixes) count += found ? 1 : 0;
    return count;
}

resolver_scan::resolver_scan(const char* server1, const char* server2,
                             const dns_suffix_list& suffixes)
    : server1_(server1), server2_(server2), suffixes_(suffixes) {}

void resolver_scan::match_line(std::string_view line) {
    if (server1_ && !found_.server1 && mentions_server(line, server1_)) found_.server1 = true;
    if (server2_ && !found_.server2 && mentions_server(line, server2_)) found_.server2 = true;
    if (!line.starts_with(kSuffixLinePrefix)) return;
    for (int slot = 0; slot < kDnsSuffixSlots; ++slot) {
        const char* suffix = suffixes_[slot];
        if (suffix && !found_.suffixes[slot] && line.find(suffix) != std::string_view::npos)
            found_.suffixes[slot] = true;
    }
}

void resolver_scan::feed(std::string_view chunk) {
    while (!chunk.empty()) {
        const size_t end = chunk.find('\n');
        if (end == std::string_view::npos) {
            partial_.append(chunk);
            return;
        }
        const std::string_view rest_of_line = chunk.substr(0, end + 1);
        chunk.remove_prefix(end + 1);
        if (partial_.empty()) {
            match_line(rest_of_line);  // the common case: the line lies within the chunk
        } else {
            partial_.append(rest_of_line);
            match_line(partial_);
            partial_.clear();
        }
    }
}

resolver_findings resolver_scan::finish() {
    if (!partial_.empty()) {
        match_line(partial_);
        partial_.clear();
    }
    return found_;
}

resolver_findings scan_resolver_text(std::string_view text, const char* server1,
                                     const char* server2, const dns_suffix_list& suffixes) {
    resolver_scan scan(server1, server2, suffixes);
    scan.feed(text);
    return scan.finish();
}
