#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Fields of search-engine exports: modified sequences and intensities.
namespace kelvara::fields {

// The bare sequence of a modified one, upper case, into `out`: bracketed, parenthesised and braced
// modifications removed (nested too: MaxQuant's "(Acetyl (Protein N-term))"), "_" flanks, and the terminal
// markers around a modification at either end ("n[42.0106]PEPTIDE", "PEPTIDEc[-0.98]",
// "[Acetyl]-PEPTIDE"). Returns whether any notation was removed; false with `out` unusable when the
// brackets do not pair up.
struct Stripped {
    bool ok;
    bool changed;
};
Stripped strip_modifications(std::string_view s, std::string& out);

// An intensity, a decimal number, as a count: rounded to the nearest integer, halves up, from its decimal
// digits (no binary floating point, so 2.5 is 3 and 0.49999999999999999999 is 0).
enum class Intensity { ok, not_number, too_large, negative, infinite, not_quantified };
Intensity parse_intensity(std::string_view s, std::uint64_t& value);

// True when a peptide holds one of the letters that stand for no single residue or a rare one (B, J, O,
// U, X, Z): they score 0 at their position.
inline bool has_nonstandard_letter(std::string_view peptide) {
    for (char ch : peptide)
        if (ch == 'B' || ch == 'J' || ch == 'O' || ch == 'U' || ch == 'X' || ch == 'Z') return true;
    return false;
}

}  // namespace kelvara::fields
