// Runs the tools as separate processes, as a cash desk and a terminal would:
// the simulator in the background (its printed address parsed), ecrcli to
// completion with its output captured.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tooltest {

// Paths of the tools (ECRSIM, ECRCLI, ECR_LIB): from the environment, else
// as the build placed them.
std::string tool_path(const char* env_name);
// The program that runs the 32-bit tools where the host cannot (ECR_EMULATOR
// in the environment, else the build's); empty when they run natively.
std::string emulator_path();

// A fresh directory under the test's working directory, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string read_file(const std::string& path);
// The library's log file ("VAR17_QTM YYYY.MM.DD.log") in dir; empty when none.
std::string find_log(const std::string& dir);

struct Run {
    int exit_code = -1;  // -1: killed by a signal or still running when the limit came
    std::string out, err;
    unsigned long long elapsed_ms = 0;
};

// A process whose stdout and stderr go to files in dir.
class Process {
public:
    // err_path, when given, takes stderr instead of the file (a terminal, say).
    Process(const std::vector<std::string>& argv, const std::string& dir, const std::string& name,
            const std::string& err_path = std::string());
    ~Process();  // SIGTERM and wait, if it still runs
    pid_t pid() const { return m_pid; }
    // Waits up to timeout_ms; the exit code, or -1.
    int wait(unsigned timeout_ms);
    bool running();
    void signal(int sig);
    std::string out() const;
    std::string err() const;

private:
    pid_t m_pid = -1;
    int m_status = -1;
    bool m_done = false;
    std::string m_out, m_err;
};

// ecrsim with the given options (a link option is added unless one is given:
// --tcp 127.0.0.1:0).  Waits for its "ecrsim listening on ..." line.
class Simulator {
public:
    Simulator(const std::vector<std::string>& options, const std::string& dir);
    const std::string& link() const { return m_link; }  // "tcp", "udp" or "pty"
    unsigned port() const { return m_port; }
    const std::string& tty() const { return m_tty; }
    // The port of the control API (--control), 0 when it has none.
    unsigned control_port() const { return m_control_port; }
    // The ecrcli connection options that reach this simulator.
    std::vector<std::string> cli_link() const;
    Process& process() { return *m_proc; }

private:
    std::string m_link;
    unsigned m_port = 0;
    std::string m_tty;
    unsigned m_control_port = 0;
    std::unique_ptr<Process> m_proc;
};

// Runs ecrcli with the arguments to its end (limit timeout_ms).
Run run_cli(const std::vector<std::string>& args, const std::string& dir, unsigned timeout_ms = 120000);

// ecrcli's one JSON object on stdout: strings, numbers and arrays of
// strings, each kept as its text (strings unescaped).  ok is false unless
// the whole text is one valid JSON object.
struct Json {
    std::map<std::string, std::string> values;
    std::map<std::string, std::vector<std::string>> arrays;
    bool ok = false;
    bool has(const std::string& k) const { return values.count(k) != 0; }
    const std::string& at(const std::string& k) const;
};
Json parse_json(const std::string& text);

}  // namespace tooltest
