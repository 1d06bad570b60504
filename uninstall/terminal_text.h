// Text another user's program wrote, made safe to pass on to a terminal
// that may be root's: escape sequences can retitle, rewrite or reprogram a
// terminal, and some terminals obey the single-byte C1 controls of 8-bit
// character sets (0x9b is CSI there) as well as their UTF-8 forms.
#pragma once

#include <cstddef>
#include <span>

namespace uninstall {

// Masks a byte stream as it comes, in pieces of any size: valid UTF-8 text
// passes unchanged, line ends and tabs included; every other C0 control,
// DEL and each C1 control (U+0080 to U+009F, a two-byte sequence) becomes
// one '?'; so does every byte that is not part of a well-formed UTF-8
// sequence (a lone continuation byte such as 0x9b, 0xc0, 0xc1 and 0xf5 to
// 0xff, overlong forms, UTF-16 surrogates, code points past U+10FFFF, a
// sequence cut short). A sequence split across pieces is held until its
// last byte arrives.
class TerminalText {
  public:
    // The most bytes held between pieces.
    static constexpr size_t kMaxHeld = 3;

    // Masks in and writes the result to out, which must have room for
    // in.size() + kMaxHeld bytes; returns the bytes written.
    size_t mask(std::span<const char> in, char* out);

    // Ends the stream: a sequence still held was cut short, each of its
    // bytes a '?'. Writes at most kMaxHeld bytes to out; returns how many.
    size_t finish(char* out);

  private:
    // Judges the byte after the held ones; writes what is decided.
    void take(unsigned char c, char*& out);
    void flush_held_as_invalid(char*& out);

    unsigned char held_[kMaxHeld] = {};
    size_t held_count_ = 0;
    size_t needed_ = 0;  // bytes the held sequence needs in all
};

}  // namespace uninstall
