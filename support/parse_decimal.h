// The product's one grammar for a decimal number at the start of some text
// or of a stream of bytes. Callers differ in what may stand before the
// digits, and say so through DecimalGrammar; whatever follows the digits is
// theirs to judge.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

namespace kestrun {

// White space as the C locale's isspace has it: blank, \t, \n, \v, \f, \r.
constexpr bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// What may stand before the digits. A '-' is read for a signed type only
// (as std::from_chars reads it), so an unsigned number never has one.
struct DecimalGrammar {
    bool skip_space = false;  // white space before the number is skipped
    bool plus_sign = false;   // one '+' directly before the first digit is taken
};

// Reads one number a character at a time, so that a reader of a stream
// needs no buffer for it. A value that does not fit T is no value at all,
// never a wrapped or clamped one.
template <typename T>
class DecimalReader {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);

  public:
    explicit constexpr DecimalReader(DecimalGrammar grammar) : grammar_(grammar) {}

    // Takes the next character. False once nothing after it can change the
    // outcome: c is not part of the number (the digits are over, or none
    // stands where one must), or the digits so far no longer fit T.
    constexpr bool take(char c) {
        if (stage_ == Stage::over) return false;
        if (stage_ == Stage::start) {
            if (grammar_.skip_space && is_space(c)) return true;
            if ((c == '+' && grammar_.plus_sign) || (c == '-' && std::is_signed_v<T>)) {
                negative_ = c == '-';
                stage_ = Stage::sign;
                return true;
            }
        }
        if (!is_digit(c)) {
            stage_ = Stage::over;
            return false;
        }
        const auto digit = static_cast<Magnitude>(c - '0');
        if (magnitude_ > (limit() - digit) / 10) {
            out_of_range_ = true;
            stage_ = Stage::over;
            return false;
        }
        magnitude_ = static_cast<Magnitude>(magnitude_ * 10 + digit);
        any_digit_ = true;
        stage_ = Stage::digits;
        return true;
    }

    // The number, when digits were taken and their value fits T.
    constexpr std::optional<T> value() const {
        if (!any_digit_ || out_of_range_) return std::nullopt;
        if (!negative_ || magnitude_ == 0) return static_cast<T>(magnitude_);
        // Negated one below the magnitude, so that T's minimum, whose
        // magnitude T cannot hold, comes out right too.
        return static_cast<T>(-static_cast<T>(magnitude_ - 1) - 1);
    }

    // Digits were taken whose value does not fit T.
    constexpr bool out_of_range() const { return out_of_range_; }

  private:
    using Magnitude = std::make_unsigned_t<T>;
    enum class Stage { start, sign, digits, over };

    constexpr Magnitude limit() const {
        constexpr auto max = static_cast<Magnitude>(std::numeric_limits<T>::max());
        return negative_ ? static_cast<Magnitude>(max + 1) : max;
    }

    DecimalGrammar grammar_;
    Stage stage_ = Stage::start;
    bool negative_ = false;
    bool any_digit_ = false;
    bool out_of_range_ = false;
    Magnitude magnitude_ = 0;
};

// The number at the start of a text.
template <typename T>
struct LeadingDecimal {
    std::optional<T> value;     // nothing: no number, or one out of range
    bool out_of_range = false;  // digits stood there, but their value does not fit T
    size_t end = 0;             // where reading stopped: just past the digits of a number
};

template <typename T>
constexpr LeadingDecimal<T> leading_decimal(std::string_view text, DecimalGrammar grammar) {
    DecimalReader<T> reader(grammar);
    size_t at = 0;
    while (at < text.size() && reader.take(text[at])) ++at;
    return {reader.value(), reader.out_of_range(), at};
}

}  // namespace kestrun
