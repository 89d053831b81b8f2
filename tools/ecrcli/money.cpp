#include "ecrcli/money.h"

#include <cmath>

namespace ecrcli {

bool parse_money(const std::string& text, bool allow_zero, long long* minor, std::string* error)
{
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    auto digits_only = [](const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; };
    if (text.empty() || (whole.empty() && frac.empty()) || !digits_only(whole) || !digits_only(frac) ||
        (dot != std::string::npos && frac.empty())) {
        *error = "\"" + text + "\" is not an amount: write it as 12.34";
        return false;
    }
    if (frac.size() > 2) {
        *error = "\"" + text + "\" has more than two digits after the point";
        return false;
    }
    size_t lead = 0;
    while (lead + 1 < whole.size() && whole[lead] == '0')
        ++lead;
    if (whole.size() - lead > 10) {
        *error = "\"" + text + "\" is above the largest amount, 9999999999.99";
        return false;
    }
    long long v = 0;
    for (size_t i = lead; i < whole.size(); ++i)
        v = v * 10 + (whole[i] - '0');
    v *= 100;
    if (!frac.empty())
        v += (frac[0] - '0') * 10 + (frac.size() > 1 ? frac[1] - '0' : 0);
    if (v == 0 && !allow_zero) {
        *error = "the amount must be above 0";
        return false;
    }
    *minor = v;
    return true;
}

bool money_to_double(long long minor, double* out)
{
    if (minor < -kMaxMinorUnits || minor > kMaxMinorUnits)
        return false;
    const double v = static_cast<double>(minor) / 100.0;
    // The library sends amount x 100 rounded to the nearest unit.
    if (std::llround(v * 100.0) != minor)
        return false;
    *out = v;
    return true;
}

long long money_from_double(double units) { return std::llround(units * 100.0); }

std::string money_text(long long minor)
{
    const unsigned long long a = minor < 0 ? 0ULL - static_cast<unsigned long long>(minor)
                                           : static_cast<unsigned long long>(minor);
    std::string out = (minor < 0 ? "-" : "") + std::to_string(a / 100) + ".";
    out += static_cast<char>('0' + a % 100 / 10);
    out += static_cast<char>('0' + a % 10);
    return out;
}

}  // namespace ecrcli
