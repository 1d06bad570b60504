// Quoting text for the shell commands the uninstaller builds.
#pragma once

#include <string>
#include <string_view>

namespace uninstall {

// text as one single-quoted shell word that sh reads back byte for byte:
// blanks, quotes, ;, $(...), backquotes, globs and line ends stay literal.
// Each ' inside becomes '\'' (close, escaped quote, reopen).
std::string shell_quote(std::string_view text);

}  // namespace uninstall
