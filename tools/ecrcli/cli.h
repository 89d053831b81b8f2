// ecrcli's command line: connection and output options anywhere on the
// line, one subcommand with its checked arguments.
#pragma once
#include "ecrcli/commands.h"

#include <string>
#include <vector>

namespace ecrcli {

enum class TransportKind { Serial = 0, Udp = 1, Tcp = 2 };

struct Options {
    std::string lib;  // empty: libecrbridge.so next to ecrcli
    TransportKind transport = TransportKind::Tcp;
    std::string host = "127.0.0.1";  // as given; resolved before the library sees it
    unsigned short port = 2000;
    std::string device;
    std::string log_dir;
    unsigned timeout = 0;  // seconds; 0: the library's budget (payments), 5 s (check)
    bool json = false;
    bool verbose = false;
    bool version = false;
    std::string command;  // "check", a row of commands(), or empty with version
    const CommandDef* def = nullptr;  // null for check
    std::vector<ArgValue> args;         // one per def->args entry
};

enum class ParseStatus { Run, Help, Usage };

struct Parsed {
    ParseStatus status = ParseStatus::Usage;
    Options options;
    std::string text;  // help text (Help) or the reason (Usage)
};

// argv[0] is the program name.  Never throws.
Parsed parse_command_line(const std::vector<std::string>& argv);

// HOST[:PORT] with a port 1..65535; false when malformed.
bool parse_endpoint(const std::string& text, std::string* host, unsigned short* port);

}  // namespace ecrcli
