// The resolver file scan of the DNS watch: which servers and suffixes a
// resolver file counts as present, whatever chunks the file is read in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resolver_scan.h"

namespace {

struct ScanCase {
    const char* name;
    std::string text;
    // found flags: server 1, server 2, suffix slots 0 to 3
    std::string expected;  // e.g. "11/1010"
};

// Servers and suffixes every case looks for, unless it says otherwise.
const char* const kServer1 = "10.0.0.1";
const char* const kServer2 = "10.0.0.2";

dns_suffix_list Suffixes() {
    dns_suffix_list s{};
    s[0] = "corp.example.com";
    s[1] = "lab.example";
    s[2] = "arch";
    s[3] = "example.com";
    return s;
}

std::string Render(const resolver_findings& f) {
    std::string out;
    out += f.server1 ? '1' : '0';
    out += f.server2 ? '1' : '0';
    out += '/';
    for (int slot = 0; slot < 4; ++slot) out += f.suffixes[slot] ? '1' : '0';
    return out;
}

std::string Scan(const std::string& text, size_t chunk) {
    const auto suffixes = Suffixes();
    resolver_scan scan(kServer1, kServer2, suffixes);
    for (size_t at = 0; at < text.size(); at += chunk)
        scan.feed(std::string_view(text).substr(at, chunk));
    return Render(scan.finish());
}

const std::vector<ScanCase>& Cases() {
    static const std::vector<ScanCase> cases = {
        {"empty file", "", "00/0000"},
        {"both servers and every suffix",
         "nameserver 10.0.0.1\nnameserver 10.0.0.2\nsearch corp.example.com lab.example\n",
         "11/1111"},
        {"last line without a line end", "nameserver 10.0.0.1\nsearch lab.example", "10/0110"},
        {"a commented server line counts", "#nameserver 10.0.0.1\n", "10/0000"},
        {"a longer address contains the server", "nameserver 10.0.0.10\n", "10/0000"},
        {"a later keyword on the same line is tried too",
         "nameserver 10.0.0.9 nameserver 10.0.0.2\n", "01/0000"},
        {"tab, two blanks and capitals do not count",
         "nameserver\t10.0.0.1\nnameserver  10.0.0.2\nNAMESERVER 10.0.0.1\n", "00/0000"},
        {"servers are tried on search lines", "search x nameserver 10.0.0.2\n", "01/0010"},
        {"domain lines never list suffixes", "domain corp.example.com lab.example\n", "00/0000"},
        {"blanks before search: not a search line", " search lab.example\n", "00/0000"},
        {"any line starting with the six bytes is a search line", "searchlab.example\n", "00/0110"},
        {"suffix inside a longer domain", "search corp.example.com\n", "00/1011"},
        {"the keyword itself is searched", "search\n", "00/0010"},
        {"suffixes found across several search lines",
         "search corp.example.com\nsearch lab.example\n", "00/1111"},
        {"a line break splits a match", "nameserver\n10.0.0.1\nsearch lab.\nexample\n", "00/0010"},
        {"case matters for suffixes", "search CORP.EXAMPLE.COM Lab.Example\n", "00/0010"},
    };
    return cases;
}

TEST(KsMonitorResolverScan, OneRead_MatchesByteExactSubstringsPerLine) {
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Scan(c.text, c.text.size() + 1), c.expected);
    }
}

TEST(KsMonitorResolverScan, AnyChunkSplit_GivesTheSameResult) {
    for (const auto& c : Cases()) {
        for (const size_t chunk : {1, 2, 3, 5, 7, 11, 4096}) {
            SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
            EXPECT_EQ(Scan(c.text, chunk), c.expected);
        }
    }
}

// Two reads cut at every byte, and three at every pair of bytes: every
// pattern ("nameserver 10.0.0.1", each suffix, the six bytes of "search")
// is cut at each of its positions, and some twice.
TEST(KsMonitorResolverScan, EverySplitPoint_GivesTheSameResult) {
    const auto suffixes = Suffixes();
    const auto scan = [&](const std::string& text, std::vector<size_t> cuts) {
        resolver_scan s(kServer1, kServer2, suffixes);
        size_t at = 0;
        for (const size_t cut : cuts) {
            s.feed(std::string_view(text).substr(at, cut - at));
            at = cut;
        }
        s.feed(std::string_view(text).substr(at));
        return Render(s.finish());
    };
    for (const auto& c : Cases()) {
        for (size_t i = 0; i <= c.text.size(); ++i) {
            SCOPED_TRACE(std::string(c.name) + ", cut at " + std::to_string(i));
            ASSERT_EQ(scan(c.text, {i}), c.expected);
            for (size_t j = i; j <= c.text.size() && j < i + 24; ++j)
                ASSERT_EQ(scan(c.text, {i, j}), c.expected) << "and at " << j;
        }
    }
}

// Items longer than what the scan keeps in place: a suffix and a server of
// a few KiB, found across chunk boundaries and not found when cut short.
TEST(KsMonitorResolverScan, LongConfiguredItems_FoundAcrossChunks) {
    const std::string long_suffix = "s" + std::string(3000, 'y') + ".example";
    const std::string long_server = "10.0.0." + std::string(2000, '7');
    dns_suffix_list suffixes{};
    suffixes[0] = long_suffix.c_str();
    const std::string text =
        "# x\nnameserver " + long_server + "\nsearch a " + long_suffix + " b\n";
    for (const size_t chunk : {1, 7, 100, 4096}) {
        SCOPED_TRACE(chunk);
        resolver_scan scan(long_server.c_str(), nullptr, suffixes);
        for (size_t at = 0; at < text.size(); at += chunk)
            scan.feed(std::string_view(text).substr(at, chunk));
        const auto found = scan.finish();
        EXPECT_TRUE(found.server1);
        EXPECT_TRUE(found.suffixes[0]);
    }
    const std::string cut =
        "nameserver " + long_server.substr(0, 1999) + "\nsearch " + long_suffix.substr(1) + "\n";
    const auto none = scan_resolver_text(cut, long_server.c_str(), nullptr, suffixes);
    EXPECT_FALSE(none.server1);
    EXPECT_FALSE(none.suffixes[0]);
}

TEST(KsMonitorResolverScan, VeryLongLines_ReadWhole) {
    // Patterns far into lines many chunks long, one straddling a 4096-byte
    // boundary, and a long search line whose suffixes sit at its very end.
    const std::string padding(100000, 'x');
    const std::string first = "# " + padding + " nameserver 10.0.0.1\n";
    const std::string text = first + std::string(4096 - first.size() % 4096 - 5, '#') +
                             "nameserver 10.0.0.2\n" + "search " + padding +
                             " corp.example.com lab.example\n";
    for (const size_t chunk : {4096, 8192, 65536}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(Scan(text, chunk), "11/1111");
    }
    // The same words on a long line that does not start with "search".
    EXPECT_EQ(Scan(padding + " search corp.example.com\n", 4096), "00/0000");
}

TEST(KsMonitorResolverScan, OnlyConfiguredItems_LookedFor) {
    dns_suffix_list suffixes{};
    suffixes[0] = "";             // empty: found on any search line
    suffixes[7] = "lab.example";  // after a gap: still looked for
    const auto absent = scan_resolver_text("nameserver 10.0.0.1\n", nullptr, "", suffixes);
    EXPECT_FALSE(absent.server1);  // not configured, so never "found"
    EXPECT_TRUE(absent.server2);   // empty: any "nameserver " with its blank
    EXPECT_EQ(absent.suffixes_found(), 0);

    const auto found = scan_resolver_text("search lab.example\n", nullptr, nullptr, suffixes);
    EXPECT_TRUE(found.suffixes[0]);
    EXPECT_TRUE(found.suffixes[7]);
    EXPECT_EQ(found.suffixes_found(), 2);
    EXPECT_FALSE(scan_resolver_text("nameserver\n", nullptr, "", suffixes).server2);
}

}  // namespace
