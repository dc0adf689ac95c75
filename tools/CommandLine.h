#pragma once
// Strict argument parsing shared by the command-line tools: numbers must be whole and in range, every
// option must be known, and failures become one line on standard error with a non-zero exit.
#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <typename T> T parseNumber(std::string_view text, std::string_view what, T lo = std::numeric_limits<T>::min(),
                                    T hi = std::numeric_limits<T>::max()) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi)
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", not '" + std::string(text) + "'");
    return value;
}
