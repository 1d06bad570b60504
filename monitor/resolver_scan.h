// Decides which of the tunnel's servers and search suffixes a resolver file
// still mentions. Pure logic over the file's bytes, fed in chunks of any
// size, so the reader can use a fixed buffer and the tests any split.
//
// The rules are byte-exact substring matches within one line (a line keeps
// its line end, and lines of any length count whole, though only a few of
// their bytes are ever kept):
//  - a server is found on any line containing "nameserver " followed by its
//    value, comments and longer addresses included;
//  - a suffix is found on any line whose first six bytes are "search" and
//    which contains the suffix anywhere (the keyword included);
//  - once found, an item stays found.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "dns_settings.h"

struct resolver_findings {
    bool server1 = false;
    bool server2 = false;
    std::array<bool, kDnsSuffixSlots> suffixes{};

    int suffixes_found() const;
};

class resolver_scan {
  public:
    // The strings must outlive the scan; null means not configured.
    resolver_scan(const char* server1, const char* server2, const dns_suffix_list& suffixes);
    resolver_scan(const resolver_scan&) = delete;
    resolver_scan& operator=(const resolver_scan&) = delete;

    // Consumes the next bytes of the file.
    void feed(std::string_view chunk);
    // Judges a last line without a line end and returns what was found.
    resolver_findings finish();

  private:
    // Looks for the items not found yet in bytes of the current line; the
    // suffixes only on a line known to begin with "search".
    void match(std::string_view text, bool search_line);
    void feed_line_part(std::string_view part, bool ends_line);

    const char* server1_;
    const char* server2_;
    const dns_suffix_list& suffixes_;
    resolver_findings found_;
    // Of the current line, only what a match may still need once the next
    // chunk comes: its first six bytes (which decide "search") and its last
    // carry_cap_ bytes, one fewer than the longest pattern (and at least
    // five, so a line not yet six bytes long is kept whole). Memory stays
    // within a few times the longest configured item, whatever the file.
    char head_[6] = {};
    size_t head_len_ = 0;
    size_t carry_cap_ = 5;
    // The carry, at the start of buf_, followed (while a part is searched)
    // by the start of the next part: where a pattern cut by a chunk
    // boundary is found. buf_ holds 2 * carry_cap_ bytes: in place for the
    // usual lengths (no allocation per check), from the heap for longer
    // configured items, once per scan.
    static constexpr size_t kInlineCarry = 512;
    size_t carry_len_ = 0;
    char inline_buf_[2 * kInlineCarry];
    std::unique_ptr<char[]> big_buf_;
    char* buf_ = inline_buf_;
};

// The whole file at once.
resolver_findings scan_resolver_text(std::string_view text, const char* server1,
                                     const char* server2, const dns_suffix_list& suffixes);
