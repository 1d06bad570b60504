// Decides which of the tunnel's servers and search suffixes a resolver file
// still mentions. Pure logic over the file's bytes, fed in chunks of any
// size, so the reader can use a fixed buffer and the tests any split.
//
// The rules are byte-exact substring matches within one line (a line keeps
// its line end, and lines of any length count whole):
//  - a server is found on any line containing "nameserver " followed by its
//    value, comments and longer addresses included;
//  - a suffix is found on any line whose first six bytes are "search" and
//    which contains the suffix anywhere (the keyword included);
//  - once found, an item stays found.
#pragma once

#include <array>
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

    // Consumes the next bytes of the file.
    void feed(std::string_view chunk);
    // Judges a last line without a line end and returns what was found.
    resolver_findings finish();

  private:
    void match_line(std::string_view line);

    const char* server1_;
    const char* server2_;
    const dns_suffix_list& suffixes_;
    resolver_findings found_;
    // The start of a line that runs past the current chunk. Its capacity is
    // kept, so only a line longer than any before it allocates.
    std::string partial_;
};

// The whole file at once.
resolver_findings scan_resolver_text(std::string_view text, const char* server1,
                                     const char* server2, const dns_suffix_list& suffixes);
