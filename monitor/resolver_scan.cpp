#include "resolver_scan.h"

#include <algorithm>
#include <cstring>

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

// cppcheck-suppress uninitMemberVar ; inline_buf_ is scratch, written before it is read
resolver_scan::resolver_scan(const char* server1, const char* server2,
                             const dns_suffix_list& suffixes)
    : server1_(server1), server2_(server2), suffixes_(suffixes) {
    size_t longest = 0;
    for (const char* server : {server1, server2})
        if (server) longest = std::max(longest, kServerKeyword.size() + std::strlen(server));
    for (const char* suffix : suffixes)
        if (suffix) longest = std::max(longest, std::strlen(suffix));
    carry_cap_ = std::max<size_t>(longest > 0 ? longest - 1 : 0, sizeof head_ - 1);
    if (carry_cap_ > kInlineCarry) {
        big_buf_ = std::make_unique<char[]>(2 * carry_cap_);
        buf_ = big_buf_.get();
    }
}

void resolver_scan::match(std::string_view text, bool search_line) {
    if (server1_ && !found_.server1 && mentions_server(text, server1_)) found_.server1 = true;
    if (server2_ && !found_.server2 && mentions_server(text, server2_)) found_.server2 = true;
    if (!search_line) return;
    for (int slot = 0; slot < kDnsSuffixSlots; ++slot) {
        const char* suffix = suffixes_[slot];
        if (suffix && !found_.suffixes[slot] && text.find(suffix) != std::string_view::npos)
            found_.suffixes[slot] = true;
    }
}

void resolver_scan::feed_line_part(std::string_view part, bool ends_line) {
    const size_t take = std::min(sizeof head_ - head_len_, part.size());
    std::memcpy(head_ + head_len_, part.data(), take);
    head_len_ += take;
    // Until six bytes are in, the line is not known to be a search line;
    // all of it is then in the carry, and is searched with the part that
    // decides it. A line that ends shorter is none.
    const bool search_line =
        head_len_ == sizeof head_ && std::string_view(head_, sizeof head_) == kSuffixLinePrefix;
    // Only a part that does not end the line needs the carry afterwards;
    // the window is built in place when there is a carry to search with.
    const size_t lead = std::min(part.size(), carry_cap_);
    if (carry_len_ > 0) {
        // A match that starts in the carry ends within carry_cap_ bytes of
        // the part.
        std::memcpy(buf_ + carry_len_, part.data(), lead);
        match({buf_, carry_len_ + lead}, search_line);
    }
    match(part, search_line);
    if (ends_line) {
        carry_len_ = 0;
        head_len_ = 0;
        return;
    }
    // The new carry: the last carry_cap_ bytes of the carry and the part.
    if (part.size() >= carry_cap_) {
        std::memcpy(buf_, part.data() + part.size() - carry_cap_, carry_cap_);
        carry_len_ = carry_cap_;
        return;
    }
    if (carry_len_ == 0) std::memcpy(buf_, part.data(), part.size());  // not copied above
    const size_t joined = carry_len_ + part.size();
    if (joined > carry_cap_) std::memmove(buf_, buf_ + joined - carry_cap_, carry_cap_);
    carry_len_ = std::min(joined, carry_cap_);
}

void resolver_scan::feed(std::string_view chunk) {
    while (!chunk.empty()) {
        const size_t end = chunk.find('\n');
        const bool ends_line = end != std::string_view::npos;
        const std::string_view part = ends_line ? chunk.substr(0, end + 1) : chunk;
        chunk.remove_prefix(part.size());
        feed_line_part(part, ends_line);
    }
}

resolver_findings resolver_scan::finish() {
    // A last line without a line end was searched as it came.
    carry_len_ = 0;
    head_len_ = 0;
    return found_;
}

resolver_findings scan_resolver_text(std::string_view text, const char* server1,
                                     const char* server2, const dns_suffix_list& suffixes) {
    resolver_scan scan(server1, server2, suffixes);
    scan.feed(text);
    return scan.finish();
}
