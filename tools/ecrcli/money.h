// Amounts as the cash desk types them: decimal text with at most two
// fraction digits, held as whole minor units until the library call.
#pragma once
#include <string>

namespace ecrcli {

// The largest amount the terminal's twelve digits carry: 9999999999.99.
constexpr long long kMaxMinorUnits = 999999999999LL;

// "12.34", "12.3", "12", "0.05", ".5" -> minor units.  No sign, exponent,
// hexadecimal, blanks or grouping; zero only when allow_zero is set.  False
// with a short reason in *error otherwise.
bool parse_money(const std::string& text, bool allow_zero, long long* minor, std::string* error);

// The double the exports take, checked to convert back to the same minor
// units (false when it does not).
bool money_to_double(long long minor, double* out);

// A double of the library (currency units) back to minor units, rounded.
long long money_from_double(double units);

// "12.34", "-7.00".
std::string money_text(long long minor);

}  // namespace ecrcli
