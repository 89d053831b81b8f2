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

using support::ScratchDir;

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
