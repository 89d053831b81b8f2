// No card data at rest: every payment and service scenario of the simulator
// runs with a full, Luhn-valid card number and full track data over TCP, UDP
// and a pseudo-terminal; then every file that the library and the tools wrote
// is searched for card numbers, track data, expiry dates and cardholder names.
// The cash register is ecrcli (as a process), plus the fuel-station card and
// PIN reads, which only the library offers, called through the loaded library.
#include "tools/tool_proc.h"

#include "ecrsim/replay.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using tooltest::run_cli;
using tooltest::Simulator;
using tooltest::TempDir;

namespace {

const char kCardNumber[] = "4012888888881881";  // Luhn-valid, sent in full by the terminal

bool luhn(const std::string& d)
{
    int sum = 0;
    for (size_t k = 0; k < d.size(); ++k) {
        int v = d[d.size() - 1 - k] - '0';
        if (k % 2 == 1)
            v = v * 2 > 9 ? v * 2 - 9 : v * 2;
        sum += v;
    }
    return sum % 10 == 0;
}

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

// Every kind of card data found in the bytes, described.
std::vector<std::string> card_data_in(const std::string& s)
{
    std::vector<std::string> found;
    for (size_t i = 0; i < s.size();) {
        if (!digit(s[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && digit(s[j]))
            ++j;
        if (j - i >= 13 && j - i <= 19 && luhn(s.substr(i, j - i)))
            found.push_back("card number " + s.substr(i, j - i));
        i = j;
    }
    for (size_t i = 1; i + 1 < s.size(); ++i)
        if (s[i] == '=' && digit(s[i - 1]) && digit(s[i + 1]))
            found.push_back("track 2 separator at " + std::to_string(i));
    // The simulator's expiry (12/27) and cardholder name, as field, track and printed date.
    for (const char* text : {"%B", "CARDHOLDER", "1227TEST", "^2712", "=2712", "12/27"})
        if (s.find(text) != std::string::npos)
            found.push_back(std::string("\"") + text + "\"");
    return found;
}

std::vector<std::string> files_under(const std::string& dir)
{
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = dir + "/" + name;
            struct stat st {};
            if (lstat(path.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                for (const std::string& f : files_under(path))
                    out.push_back(f);
            } else if (S_ISREG(st.st_mode)) {
                out.push_back(path);
            }
        }
        closedir(d);
    }
    return out;
}

// The fuel-station card read and the PIN read through the loaded library,
// as a cash register calls them.
void library_reads(const Simulator& sim, const std::string& dir, std::string* problem)
{
    void* lib = dlopen(tooltest::tool_path("ECR_LIB").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        *problem = dlerror();
        return;
    }
    auto sym = [&](const char* name) { return dlsym(lib, name); };
    auto log_path = reinterpret_cast<int (*)(char const*)>(sym("put_EcrLogingPath"));
    auto type = reinterpret_cast<int (*)(short)>(sym("put_TransportType"));
    auto ip = reinterpret_cast<int (*)(char*)>(sym("put_PosIP"));
    auto port = reinterpret_cast<int (*)(unsigned short)>(sym("put_PosPort"));
    auto tty = reinterpret_cast<int (*)(char*)>(sym("put_UnixTTY"));
    auto open = reinterpret_cast<int (*)(int)>(sym("PosOpen"));
    auto close = reinterpret_cast<int (*)()>(sym("PosClose"));
    auto object = reinterpret_cast<void* (*)()>(sym("_Z13create_objectv"));
    auto pin = reinterpret_cast<int (*)(void*, unsigned char, char**)>(sym("_ZN15CVarkoClass201713PosAZSPinReadEhPPc"));
    auto card = reinterpret_cast<int (*)(void*)>(sym("_ZN15CVarkoClass201714PosAZSCardReadEv"));
    if (!log_path || !type || !ip || !port || !tty || !open || !close || !object || !pin || !card) {
        *problem = "the library lacks an export";
        return;
    }
    // The library opens its first log in the current directory.
    char cwd[4096];
    const bool had_cwd = getcwd(cwd, sizeof cwd) != nullptr;
    if (chdir(dir.c_str()) != 0) {
        *problem = "chdir";
        return;
    }
    log_path(dir.c_str());
    std::string host = "127.0.0.1", path = sim.tty();
    if (sim.link() == "pty") {
        type(0);
        tty(&path[0]);
    } else {
        type(sim.link() == "udp" ? 1 : 2);
        ip(&host[0]);
        port(static_cast<unsigned short>(sim.port()));
    }
    if (open(0) != 0) {
        *problem = "PosOpen failed";
    } else {
        char* result = nullptr;
        void* obj = object();
        if (card(obj) != 0)
            *problem = "PosAZSCardRead failed";
        else if (pin(obj, 1, &result) != 0 || result == nullptr || std::string(result, 4) != "1234")
            *problem = "PosAZSPinRead failed";  // the application does get the result in full
        close();
    }
    if (had_cwd && chdir(cwd) != 0)
        *problem = "chdir back";
}

class CardDataAtRest : public ::testing::TestWithParam<const char*> {};

TEST_P(CardDataAtRest, NoFileHoldsCardData)
{
    TempDir dir;
    std::vector<std::string> link;
    if (std::string(GetParam()) == "udp")
        link = {"--udp", "127.0.0.1:0"};
    else if (std::string(GetParam()) == "pty")
        link = {"--pty"};
    std::vector<std::string> options = link;
    options.insert(options.end(), {"--pan", kCardNumber, "--verbose"});
    Simulator sim(options, dir.path());
    ASSERT_EQ(sim.link(), GetParam());

    // Every scenario ecrcli offers that carries card data, half of them as JSON.
    const std::vector<std::vector<std::string>> commands = {
        {"purchase", "12.34"}, {"void", "1"},  {"card-read"}, {"card-read"}, {"discount-read", "5"},
        {"discount"},          {"group"},      {"gtc"},       {"gts", "1"},  {"gtl"},
        {"gti", "1"},          {"gsi"},        {"audit", "1"}};
    for (size_t i = 0; i < commands.size(); ++i) {
        std::vector<std::string> args = sim.cli_link();
        args.insert(args.end(), {"--log-dir", dir.path()});
        if (i % 2 == 0)
            args.push_back("--json");
        args.insert(args.end(), commands[i].begin(), commands[i].end());
        const tooltest::Run r = run_cli(args, dir.path(), 60000);
        EXPECT_EQ(r.exit_code, 0) << commands[i][0] << "\n" << r.out << r.err;
    }
    std::string problem;
    library_reads(sim, dir.path(), &problem);
    EXPECT_EQ(problem, "");
    sim.process().signal(SIGTERM);
    sim.process().wait(5000);

    size_t files = 0, dumps = 0, pin_answers = 0;
    for (const std::string& path : files_under(dir.path())) {
        ++files;
        const std::string text = tooltest::read_file(path);
        for (const std::string& f : card_data_in(text))
            ADD_FAILURE() << path << ": " << f;
        // A dump spreads a message over lines of 16 bytes: search its bytes too.
        for (const ecrsim::LogDump& d : ecrsim::parse_log_dumps(text)) {
            ++dumps;
            for (const std::string& f : card_data_in(d.bytes))
                ADD_FAILURE() << path << ", dump [" << d.label << "]: " << f;
            if (d.bytes.compare(0, 6, "APP11.") == 0) {  // the PIN read's answer: nothing of it shown
                ++pin_answers;
                EXPECT_EQ(d.bytes, "APP11.****");
            }
        }
    }
    // The library's log (with dumps of every exchange), ecrsim's and ecrcli's output.
    EXPECT_GE(files, 3u);
    EXPECT_GT(dumps, 50u);
    EXPECT_EQ(pin_answers, 1u);
    EXPECT_FALSE(tooltest::find_log(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Links, CardDataAtRest, ::testing::Values("tcp", "udp", "pty"),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

}  // namespace
