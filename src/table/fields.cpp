#include "table/fields.hpp"

#include <vector>

#include "anchors/anchor_table.hpp"

namespace kelvara::fields {

namespace {

bool opens(char ch) { return ch == '[' || ch == '(' || ch == '{'; }
bool closes(char ch) { return ch == ']' || ch == ')' || ch == '}'; }

}  // namespace

Stripped strip_modifications(std::string_view s, std::string& out) {
    // The characters outside every group, each with whether a group stands right before or after it.
    struct Kept {
        char ch;
        bool group_before, group_after;
    };
    std::vector<Kept> kept;
    kept.reserve(s.size());
    int depth = 0;
    bool changed = false, after_group = false;
    for (const char ch : s) {
        if (opens(ch)) {
            if (depth == 0 && !kept.empty()) kept.back().group_after = true;
            ++depth;
            changed = true;
            continue;
        }
        if (closes(ch)) {
            if (depth == 0) return {false, changed};
            if (--depth == 0) after_group = true;
            continue;
        }
        if (depth > 0) continue;
        if (ch == '_') {
            changed = true;
            continue;
        }
        kept.push_back({ch, after_group, false});
        after_group = false;
    }
    if (depth != 0) return {false, changed};
    const bool group_at_end = after_group;  // the last thing was a group
    out.clear();
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const Kept& k = kept[i];
        const bool first = i == 0, last = i + 1 == kept.size();
        const bool marker = (first && k.ch == 'n' && k.group_after) ||
                            (last && k.ch == 'c' && k.group_after && group_at_end) ||
                            (first && k.ch == '-' && k.group_before) || (last && k.ch == '-' && k.group_after);
        if (marker) {
            changed = true;
            continue;
        }
        out.push_back(k.ch >= 'a' && k.ch <= 'z' ? static_cast<char>(k.ch - 'a' + 'A') : k.ch);
    }
    return {true, changed};
}

Intensity parse_intensity(std::string_view s, std::uint64_t& value) {
    value = 0;
    if (s.empty()) return Intensity::not_quantified;
    bool negative = false;
    std::size_t i = 0;
    if (s[0] == '+' || s[0] == '-') negative = s[i++] == '-';
    std::string word;
    for (std::size_t k = i; k < s.size() && word.size() < 9; ++k)
        word.push_back(s[k] >= 'A' && s[k] <= 'Z' ? static_cast<char>(s[k] - 'A' + 'a') : s[k]);
    if (word == "nan") return Intensity::not_quantified;
    if (word == "inf" || word == "infinity") return negative ? Intensity::negative : Intensity::infinite;

    // Mantissa digits, then the number of them before the decimal point.
    std::string digits;
    long long point = -1;
    for (; i < s.size(); ++i) {
        const char ch = s[i];
        if (ch >= '0' && ch <= '9') {
            digits.push_back(ch);
        } else if (ch == '.' && point < 0) {
            point = static_cast<long long>(digits.size());
        } else {
            break;
        }
    }
    if (digits.empty()) return Intensity::not_number;
    if (point < 0) point = static_cast<long long>(digits.size());
    if (i < s.size()) {
        if (s[i] != 'e' && s[i] != 'E') return Intensity::not_number;
        ++i;
        bool minus = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) minus = s[i++] == '-';
        if (i == s.size()) return Intensity::not_number;
        long long exponent = 0;
        for (; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9') return Intensity::not_number;
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
        }
        point += minus ? -exponent : exponent;
    }
    // Leading zeros carry nothing.
    std::size_t lead = 0;
    while (lead < digits.size() && digits[lead] == '0') ++lead;
    if (lead == digits.size()) return Intensity::not_quantified;  // zero, in any form
    if (negative) return Intensity::negative;
    digits.erase(0, lead);
    point -= static_cast<long long>(lead);
    if (point > 20) return Intensity::too_large;
    CountSum whole = 0;
    for (long long k = 0; k < point; ++k)
        whole = whole * 10 + static_cast<unsigned>(k < static_cast<long long>(digits.size()) ? digits[k] - '0' : 0);
    const char first_fraction =
        point >= 0 && point < static_cast<long long>(digits.size()) ? digits[static_cast<std::size_t>(point)] : '0';
    if (first_fraction >= '5') whole += 1;
    if (whole > UINT64_MAX) return Intensity::too_large;
    value = static_cast<std::uint64_t>(whole);
    return Intensity::ok;
}

}  // namespace kelvara::fields
