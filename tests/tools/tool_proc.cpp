#include "tools/tool_proc.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <dirent.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tooltest {

namespace {

unsigned long long now_ms()
{
    return static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
}

}  // namespace

std::string tool_path(const char* env_name)
{
    const char* p = std::getenv(env_name);
    if (p != nullptr && *p != '\0')
        return p;
    const std::string name = env_name;
    if (name == "ECRSIM")
        return ECRSIM_PATH;
    if (name == "ECRCLI")
        return ECRCLI_PATH;
    if (name == "ECR_LIB")
        return ECR_LIB_PATH;
    throw std::runtime_error("no path for " + name);
}

std::string emulator_path()
{
    const char* p = std::getenv("ECR_EMULATOR");
    if (p != nullptr)
        return p;
#ifdef ECR_EMULATOR_PATH
    return ECR_EMULATOR_PATH;
#else
    return std::string();
#endif
}

TempDir::TempDir()
{
    char tmpl[] = "tooltest.XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (d == nullptr)
        throw std::runtime_error("mkdtemp failed");
    char cwd[4096];
    m_path = std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/" + d;
}

TempDir::~TempDir()
{
    const std::string cmd = "rm -rf '" + m_path + "'";
    int ignored = std::system(cmd.c_str());
    (void)ignored;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string find_log(const std::string& dir)
{
    std::string found;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return found;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, 10, "VAR17_QTM ") == 0 && name.size() == 24 && name.compare(20, 4, ".log") == 0)
            found = dir + "/" + name;
    }
    closedir(d);
    return found;
}

Process::Process(const std::vector<std::string>& argv, const std::string& dir, const std::string& name,
                 const std::string& err_path)
    : m_out(dir + "/" + name + ".out"), m_err(err_path.empty() ? dir + "/" + name + ".err" : err_path)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0644);
    std::vector<char*> args;
    // 32-bit tools run through the emulator where the host cannot run them.
    const std::string emulator = emulator_path();
    if (!emulator.empty())
        args.push_back(const_cast<char*>(emulator.c_str()));
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The tools run in dir, so the library's log lands there.
    const std::string cd = dir;
    char old[4096];
    const bool have_old = getcwd(old, sizeof old) != nullptr;
    if (chdir(cd.c_str()) != 0)
        throw std::runtime_error("chdir " + cd);
    const int rc = posix_spawnp(&m_pid, args[0], &fa, nullptr, args.data(), environ);
    if (have_old && chdir(old) != 0)
        throw std::runtime_error("chdir back");
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

Process::~Process()
{
    if (running()) {
        ::kill(m_pid, SIGTERM);
        if (wait(5000) == -1 && running()) {
            ::kill(m_pid, SIGKILL);
            wait(5000);
        }
    }
}

bool Process::running()
{
    if (m_done)
        return false;
    int st = 0;
    const pid_t r = waitpid(m_pid, &st, WNOHANG);
    if (r == m_pid) {
        m_done = true;
        m_status = st;
        return false;
    }
    return r == 0;
}

int Process::wait(unsigned timeout_ms)
{
    const unsigned long long deadline = now_ms() + timeout_ms;
    while (running()) {
        if (now_ms() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

void Process::signal(int sig)
{
    if (running())
        ::kill(m_pid, sig);
}

std::string Process::out() const { return read_file(m_out); }
std::string Process::err() const { return read_file(m_err); }

Simulator::Simulator(const std::vector<std::string>& options, const std::string& dir)
{
    std::vector<std::string> argv{tool_path("ECRSIM")};
    bool has_link = false;
    for (const std::string& o : options)
        has_link = has_link || o == "--tcp" || o == "--udp" || o == "--pty";
    argv.insert(argv.end(), options.begin(), options.end());
    if (!has_link) {
        argv.push_back("--tcp");
        argv.push_back("127.0.0.1:0");
    }
    static int n = 0;
    m_proc.reset(new Process(argv, dir, "ecrsim" + std::to_string(++n)));
    const unsigned long long deadline = now_ms() + 10000;
    static const std::string kPrefix = "ecrsim listening on ";
    for (;;) {
        const std::string out = m_proc->out();
        const size_t at = out.find(kPrefix);
        const size_t eol = at == std::string::npos ? std::string::npos : out.find('\n', at);
        if (eol != std::string::npos) {
            const std::string rest = out.substr(at + kPrefix.size(), eol - at - kPrefix.size());
            m_link = rest.substr(0, 3);
            if (m_link == "pty")
                m_tty = rest.substr(4);
            else
                m_port = static_cast<unsigned>(std::atoi(rest.substr(rest.rfind(':') + 1).c_str()));
            // "ecrsim control on http://127.0.0.1:PORT/" comes first when asked for.
            static const std::string kControl = "ecrsim control on http://";
            const size_t c = out.find(kControl);
            if (c != std::string::npos && c < at)
                m_control_port = static_cast<unsigned>(
                    std::atoi(out.c_str() + out.find(':', c + kControl.size()) + 1));
            return;
        }
        if (!m_proc->running() || now_ms() > deadline)
            throw std::runtime_error("the simulator did not start: " + m_proc->err());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> Simulator::cli_link() const
{
    if (m_link == "pty")
        return {"--serial", m_tty};
    return {"--" + m_link, "127.0.0.1:" + std::to_string(m_port)};
}

Run run_cli(const std::vector<std::string>& args, const std::string& dir, unsigned timeout_ms)
{
    std::vector<std::string> argv{tool_path("ECRCLI"), "--lib", tool_path("ECR_LIB")};
    argv.insert(argv.end(), args.begin(), args.end());
    static int n = 0;
    Run r;
    const unsigned long long start = now_ms();
    Process p(argv, dir, "ecrcli" + std::to_string(++n));
    r.exit_code = p.wait(timeout_ms);
    r.elapsed_ms = now_ms() - start;
    r.out = p.out();
    r.err = p.err();
    return r;
}

const std::string& Json::at(const std::string& k) const
{
    static const std::string none;
    auto it = values.find(k);
    return it == values.end() ? none : it->second;
}

Json parse_json(const std::string& text)
{
    Json j;
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return j;
    for (const auto& item : doc.items()) {
        if (item.value().is_string()) {
            j.values[item.key()] = item.value().get<std::string>();
        } else if (item.value().is_array()) {
            std::vector<std::string>& arr = j.arrays[item.key()];
            for (const auto& v : item.value())
                arr.push_back(v.is_string() ? v.get<std::string>() : v.dump());
        } else {
            j.values[item.key()] = item.value().dump();
        }
    }
    j.ok = true;
    return j;
}

}  // namespace tooltest
