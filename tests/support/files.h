// Whole-file reads and writes of the tests.
#pragma once
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A fresh directory under /tmp, removed (with its files) on destruction.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/ecr_test_XXXXXX";
        const char* made = mkdtemp(tmpl);
        m_path = made ? made : "";
    }
    ~ScratchDir() { Remove(m_path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    static void Remove(const std::string& dir)
    {
        if (dir.empty())
            return;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name == "." || name == "..")
                    continue;
                std::string full = dir + "/" + name;
                struct stat st {};
                if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    Remove(full);
                else
                    unlink(full.c_str());
            }
            closedir(d);
        }
        rmdir(dir.c_str());
    }
    std::string m_path;
};

}  // namespace support
