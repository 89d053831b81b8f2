// How many operations a benchmark run makes: a positive count from the
// environment, else the program's default.
#pragma once
#include <cstdlib>

namespace measure {

inline long run_size(const char* env_name, long fallback)
{
    const char* text = std::getenv(env_name);
    const long n = text ? std::atol(text) : 0;
    return n > 0 ? n : fallback;
}

}  // namespace measure
