#include "ecrcli/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace ecrcli {

namespace {

constexpr const char* kFooter =
    "Amounts are decimal text with at most two digits after the point (12.34), up to 9999999999.99;\n"
    "with --json they are printed as decimal strings (\"12.34\").\n"
    "Exit status: 0 approved or ok; 1 declined by the terminal; 2 usage; 3 link or library unusable;\n"
    "4 outcome unknown; 130 cancelled with Ctrl-C.";

}  // namespace

bool parse_endpoint(const std::string& text, std::string* host, unsigned short* port)
{
    const size_t colon = text.rfind(':');
    const std::string h = text.substr(0, colon);
    if (h.empty())
        return false;
    if (colon != std::string::npos) {
        const std::string p = text.substr(colon + 1);
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const unsigned long v = std::stoul(p);
        if (v == 0 || v > 65535)
            return false;
        *port = static_cast<unsigned short>(v);
    }
    *host = h;
    return true;
}

Parsed parse_command_line(const std::vector<std::string>& argv)
{
    Parsed out;
    Options& o = out.options;
    CLI::App app("ecrcli: a cash register on the command line, driving a card-payment terminal "
                 "through libecrbridge.so",
                 "ecrcli");
    app.footer(kFooter);
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last one given wins
    std::string tcp, udp;
    auto* o_tcp = app.add_option("--tcp", tcp, "terminal on TCP (default 127.0.0.1:2000)")->type_name("HOST[:PORT]");
    auto* o_udp = app.add_option("--udp", udp, "terminal on UDP")->type_name("HOST[:PORT]");
    auto* o_serial = app.add_option("--serial", o.device, "terminal on a serial line (115200 baud, 7E1)")->type_name("DEVICE");
    o_tcp->excludes(o_udp)->excludes(o_serial);
    o_udp->excludes(o_serial);
    app.add_option("--lib", o.lib, "library to load (default: libecrbridge.so next to ecrcli)")->type_name("PATH");
    app.add_option("--log-dir", o.log_dir, "directory of the library's log (created when missing)")->type_name("DIR");
    app.add_option("--timeout", o.timeout,
                   "seconds to wait for the terminal, 1..420 (payments: the library's budget when 40 or more; "
                   "check: each step, default 5)")
        ->check(CLI::Range(1u, 420u))
        ->type_name("S");
    app.add_flag("--json", o.json, "print the outcome as one JSON object");
    app.add_flag("--verbose", o.verbose, "let the library's start-up lines through to stderr");
    app.add_flag("--version", o.version, "print the versions of ecrcli and of the library, and exit");

    // Each subcommand's arguments arrive as text and are checked below, so
    // that every argument error reads the same way.
    std::vector<std::pair<CLI::App*, const CommandDef*>> subs;
    std::vector<std::vector<std::string>> texts(commands().size());
    std::vector<std::vector<CLI::Option*>> opts(commands().size());
    for (size_t i = 0; i < commands().size(); ++i) {
        const CommandDef& c = commands()[i];
        CLI::App* sub = app.add_subcommand(c.name, c.help);
        sub->fallthrough();
        sub->footer(kFooter);
        texts[i].resize(c.args.size());
        for (size_t k = 0; k < c.args.size(); ++k) {
            CLI::Option* a = sub->add_option(c.args[k].name, texts[i][k], c.args[k].help)->type_name("");
            if (c.args[k].required)
                a->required();
            opts[i].push_back(a);
        }
        subs.emplace_back(sub, &c);
    }
    CLI::App* check = app.add_subcommand(
        "check", "open the link, ping the terminal, ask its serial number and software, and say what works");
    check->fallthrough();
    // Listed for --help only: "ecrcli explain" is dispatched before this parser runs.
    app.add_subcommand("explain", "read the library's log files: each operation's frames, anomalies and verdict "
                                  "(--json, --html FILE, --since TIME, --until TIME, --op N; ecrcli explain --help)");

    std::vector<std::string> args(argv.begin() + (argv.empty() ? 0 : 1), argv.end());
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        // After a subcommand, --help is that subcommand's help.
        const std::vector<CLI::App*> given = app.get_subcommands();
        out.status = ParseStatus::Help;
        out.text = given.empty() ? app.help() : given.back()->help();
        return out;
    } catch (const CLI::ParseError& e) {
        out.text = e.what();
        return out;
    }

    if (o_tcp->count() > 0 || o_udp->count() > 0) {
        const bool is_tcp = o_tcp->count() > 0;
        o.transport = is_tcp ? TransportKind::Tcp : TransportKind::Udp;
        if (!parse_endpoint(is_tcp ? tcp : udp, &o.host, &o.port)) {
            out.text = std::string(is_tcp ? "--tcp" : "--udp") + " needs HOST[:PORT] with a port 1..65535";
            return out;
        }
    } else if (o_serial->count() > 0) {
        if (o.device.empty()) {
            out.text = "--serial needs a device";
            return out;
        }
        o.transport = TransportKind::Serial;
    }
    if (app.get_option("--lib")->count() > 0 && o.lib.empty()) {
        out.text = "--lib needs a path";
        return out;
    }
    if (app.get_option("--log-dir")->count() > 0 && o.log_dir.empty()) {
        out.text = "--log-dir needs a directory";
        return out;
    }

    if (check->parsed()) {
        o.command = "check";
    } else {
        for (size_t i = 0; i < subs.size(); ++i) {
            if (!subs[i].first->parsed())
                continue;
            o.def = subs[i].second;
            o.command = o.def->name;
            o.args.resize(o.def->args.size());
            for (size_t k = 0; k < o.def->args.size(); ++k) {
                if (opts[i][k]->count() == 0)
                    continue;
                std::string err;
                if (!read_arg(o.def->args[k], texts[i][k], &o.args[k], &err)) {
                    out.text = o.command + ": " + err;
                    return out;
                }
            }
        }
    }
    if (o.command.empty() && !o.version) {
        out.text = "a command is needed (ecrcli --help lists them)";
        return out;
    }
    out.status = ParseStatus::Run;
    return out;
}

}  // namespace ecrcli
