// Scratch directories and file helpers for the logging tests.
#pragma once
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "support/files.h"

namespace logtest {

// A fresh directory under /tmp, removed (with its files) on destruction.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/ecr_log_test_XXXXXX";
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

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Leaves the process logger closed, switched off and with an empty queue,
// whatever an earlier test in the same process did.
inline void ResetProcessLogger(const ScratchDir& dir)
{
    el::set_logging(false);
    ConfigureFile(dir.file("reset.log"));  // anything still queued drains here
    CloseLog();
    unlink(dir.file("reset.log").c_str());
}

}  // namespace logtest
