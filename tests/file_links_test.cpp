// Files the library creates cannot be redirected: a symbolic link planted
// where one of them goes is refused (or replaced, never followed) and the
// file it points at stays as it was.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Logging/log.h"
#include "VarkoClass2017/operation_record.h"
#include "support/sim_link.h"
#include "transport/comport.h"

namespace {

struct Planted {
    const char* file;                              // where the link is planted
    std::function<bool(const std::string&)> make;  // creates the file there; its result
    bool made;                                     // the result expected
};

TEST(FileLinks, APlantedLinkIsRefusedAndItsTargetLeftUntouched)
{
    char tmpl[] = "/tmp/ecr_links_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string target = dir + "/target";
    const std::vector<Planted> cases = {
        {"protocol.dmp", [](const std::string& p) { return create_protocol_dump_file(p.c_str()); }, false},
        {"VAR17_QTM 2027.01.01.log", [](const std::string& p) { return ConfigureFile(p); }, false},
        // Temporary names are the writing process's own: a link at a
        // predictable name is never opened.
        {"ecrbridge.oprecord.tmp", [&dir](const std::string&) {
             _init_transaction_request request{};
             return OperationRecord::SetDir(dir) && OperationRecord::Write(request);
         }, true},
        // The record itself is replaced by rename: the link goes, not its target.
        {"ecrbridge.oprecord", [&dir](const std::string&) {
             _init_transaction_request request{};
             return OperationRecord::SetDir(dir) && OperationRecord::Write(request);
         }, true},
    };
    for (const Planted& c : cases) {
        const std::string path = dir + "/" + c.file;
        OperationRecord::Clear();
        { std::ofstream(target, std::ios::trunc) << "TARGET"; }
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << c.file;
        EXPECT_EQ(c.make(path), c.made) << c.file;
        EXPECT_EQ(support::read_file(target), "TARGET") << c.file;
        unlink(path.c_str());
    }
    OperationRecord::Clear();

    // The refusal of protocol.dmp is one line in the log once it is open.
    const std::string log = dir + "/real.log";
    ASSERT_TRUE(ConfigureFile(log));
    el::set_logging(true);
    el::set_logging(false);
    CloseLog();
    const std::string text = support::read_file(log);
    const std::string line = "/protocol.dmp is a symbolic link: not opened\n";
    EXPECT_NE(text.find("[LOG_ERROR> ] [create_protocol_dump_file:"), std::string::npos) << text;
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << text;
    unlink(log.c_str());
    unlink(target.c_str());
    unlink((dir + "/ecrbridge.oprecord.lock").c_str());
    rmdir(dir.c_str());
}

}  // namespace
