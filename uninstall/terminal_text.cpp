#include "terminal_text.h"

namespace uninstall {

namespace {

// The length of a sequence a lead byte starts; 0 for a byte that starts
// none (a continuation byte, 0xc0, 0xc1, 0xf5 to 0xff).
size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xc2 && lead <= 0xdf) return 2;
    if (lead >= 0xe0 && lead <= 0xef) return 3;
    if (lead >= 0xf0 && lead <= 0xf4) return 4;
    return 0;
}

// Whether c may stand second after lead: the ranges that rule out overlong
// forms, surrogates and code points past U+10FFFF.
bool fits_second(unsigned char lead, unsigned char c) {
    switch (lead) {
        case 0xe0:
            return c >= 0xa0 && c <= 0xbf;
        case 0xed:
            return c >= 0x80 && c <= 0x9f;
        case 0xf0:
            return c >= 0x90 && c <= 0xbf;
        case 0xf4:
            return c >= 0x80 && c <= 0x8f;
        default:
            return c >= 0x80 && c <= 0xbf;
    }
}

bool is_continuation(unsigned char c) {
    return c >= 0x80 && c <= 0xbf;
}

}  // namespace

void TerminalText::flush_held_as_invalid(char*& out) {
    for (size_t i = 0; i < held_count_; ++i) *out++ = '?';
    held_count_ = 0;
    needed_ = 0;
}

void TerminalText::take(unsigned char c, char*& out) {
    if (held_count_ > 0) {
        const bool fits = held_count_ == 1 ? fits_second(held_[0], c) : is_continuation(c);
        if (!fits) {
            // The held bytes were a sequence cut short; c starts afresh.
            flush_held_as_invalid(out);
        } else if (held_count_ + 1 < needed_) {
            held_[held_count_++] = c;
            return;
        } else {
            // Complete and well formed. U+0080 to U+009F are 0xc2 0x80..0x9f.
            if (held_[0] == 0xc2 && c <= 0x9f) {
                *out++ = '?';
            } else {
                for (size_t i = 0; i < held_count_; ++i) *out++ = static_cast<char>(held_[i]);
                *out++ = static_cast<char>(c);
            }
            held_count_ = 0;
            needed_ = 0;
            return;
        }
    }
    const size_t length = sequence_length(c);
    if (length == 1) {
        const bool control = (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f;
        *out++ = control ? '?' : static_cast<char>(c);
    } else if (length == 0) {
        *out++ = '?';
    } else {
        held_[0] = c;
        held_count_ = 1;
        needed_ = length;
    }
}

size_t TerminalText::mask(std::span<const char> in, char* out) {
    char* const start = out;
    for (const char byte : in) take(static_cast<unsigned char>(byte), out);
    return static_cast<size_t>(out - start);
}

size_t TerminalText::finish(char* out) {
    char* const start = out;
    flush_held_as_invalid(out);
    return static_cast<size_t>(out - start);
}

}  // namespace uninstall
