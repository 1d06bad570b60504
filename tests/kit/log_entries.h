// The log facility's files read back as entries, for the suites of the
// facility and of the programs that log through it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kstest {

// The default log file, "$HOME/.kestRun.log" (the sandbox's /tmp/home).
std::string DefaultLog();

// One entry: "MM/DD/YYYY hh:mm:ss.mmm [category priority    pid] message".
struct LogEntry {
    std::string category;  // as written, padded to 7 (ReadLog: without the padding)
    std::string priority;  // as written, padded to 6 (ReadLog: without the padding)
    long pid = 0;
    std::string message;  // without its line end
};

// One line (without its line end) read as an entry; nothing if it is not one.
std::optional<LogEntry> ParseEntry(const std::string& line);

// The lines of a text without their line ends; a last line that has none
// ends in "<no line end>", so a comparison reports the torn entry.
std::vector<std::string> Lines(const std::string& text);

// The messages of a file's entries, in order; a line that is no entry shows
// up as "<not an entry> ..." so a comparison reports it.
std::vector<std::string> Messages(const std::string& path);

// The entries of the default log. A message that holds line ends comes back
// whole: the lines after an entry's first that are no entry are joined to
// its message with '\n' (a first line that is no entry stands as an entry
// of category and priority "?").
std::vector<LogEntry> ReadLog();

}  // namespace kstest
