#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Text rules of the readers, on UTF-8 bytes: whitespace is what Python's str.strip() and str.split()
// take for it, so that fields read the same whichever side reads them.
namespace kelvara::text {

// Bytes of the whitespace character that starts at s[i], or 0.
inline std::size_t space_at(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return (b == ' ' || (b >= 9 && b <= 13) || (b >= 0x1C && b <= 0x1F)) ? 1 : 0;
    auto at = [&](std::size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    if (b == 0xC2) return (at(1) == 0x85 || at(1) == 0xA0) ? 2 : 0;
    if (b == 0xE1) return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;
    if (b == 0xE2) {
        if (at(1) == 0x80) return (at(2) <= 0x8A && at(2) >= 0x80) || at(2) == 0xA8 || at(2) == 0xA9 || at(2) == 0xAF ? 3 : 0;
        return (at(1) == 0x81 && at(2) == 0x9F) ? 3 : 0;
    }
    if (b == 0xE3) return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    return 0;
}

// Bytes of the whitespace character that ends at s[end - 1], or 0.
inline std::size_t space_before(std::string_view s, std::size_t end) {
    for (std::size_t n = 1; n <= 3 && n <= end; ++n)
        if (space_at(s, end - n) == n) return n;
    return 0;
}

inline std::string_view strip(std::string_view s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end) {
        const std::size_t n = space_at(s.substr(0, end), begin);
        if (n == 0) break;
        begin += n;
    }
    while (end > begin) {
        const std::size_t n = space_before(s.substr(begin, end - begin), end - begin);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

// s without any whitespace, as "".join(s.split()) gives it.
inline void append_without_space(std::string& out, std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = space_at(s, i);
        if (n == 0) out.push_back(s[i++]);
        else i += n;
    }
}

inline bool is_letters(std::string_view s) {
    for (char ch : s)
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'))) return false;
    return true;
}

inline bool is_upper_letters(std::string_view s) {
    for (char ch : s)
        if (ch < 'A' || ch > 'Z') return false;
    return true;
}

// A count of ASCII digits (any number of leading zeros): 0 on success, 1 when it is no such count, 2 when
// its value passes 2**64 - 1.
inline int parse_count(std::string_view s, std::uint64_t& value) {
    if (s.empty()) return 1;
    std::uint64_t v = 0;
    bool over = false;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return 1;
        if (!over && (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, ch - '0', &v))) over = true;
    }
    value = v;
    return over ? 2 : 0;
}

}  // namespace kelvara::text
