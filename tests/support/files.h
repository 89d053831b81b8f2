// Whole-file reads and writes of the tests.
#pragma once
#include <fstream>
#include <sstream>
#include <string>

namespace support {

// The whole file (empty when it cannot be read).
inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Replaces the file's contents with text.
inline void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace support
