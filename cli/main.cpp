// quorv: the command-line tool. Dispatches to a command and turns every
// failure into one line "quorv: ..." on stderr and a non-zero exit status.
#include "commands/commands.h"
#include "error.h"
#include "minihost.h"
#include "signals.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#ifndef QUORV_VERSION
#define QUORV_VERSION "unknown"
#endif

namespace {

const cli::CommandEntry kCommands[] = {
    {cli::train_command, cli::run_train},
    {cli::classify_command, cli::run_classify},
    {cli::plot_command, cli::run_plot},
    {cli::tune_command, cli::run_tune},
    {cli::info_command, cli::run_info},
    {cli::demo_command, cli::run_demo},
};

void print_overview()
{
    std::printf("Usage: quorv COMMAND [options]\n\n"
                "Supervised classification with labelled boxes, from CSV files. The commands\n"
                "run the quorv_train and quorv_perf plug-ins found beside this program (or in\n"
                "$QUORV_PLUGIN_DIR).\n\nCommands:\n");
    for (const auto &entry : kCommands) {
        const cli::Command c = entry.spec();
        std::printf("  %-10s%s\n", c.name.c_str(), c.summary.c_str());
    }
    std::printf("\nOptions:\n  -h, --help  show this help and exit\n  --version   show the version and exit\n\n"
                "'quorv COMMAND --help' explains a command and all its options.\n"
                "Exit status: 0 on success, 1 on a failure, 2 on a command line that is not understood.\n");
}

int fail(const std::string &message, int status)
{
    std::string line = message;  // one line, whatever the message
    for (char &ch : line)
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    line = "quorv: " + cli::visible(line) + "\n";
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stderr);
    return status;
}

int run(const std::vector<std::string> &words)
{
    if (words.empty())
        throw cli::UsageError("no command given (see 'quorv --help')");
    const std::string &first = words[0];
    if (first == "--help" || first == "-h" || first == "help") {
        if (first == "help" && words.size() > 1)
            return run({words[1], "--help"});
        print_overview();
        return 0;
    }
    if (first == "--version") {
        std::printf("quorv %s\n", QUORV_VERSION);
        return 0;
    }
    for (const auto &entry : kCommands) {
        const cli::Command command = entry.spec();
        if (command.name != first)
            continue;
        const cli::Args args = cli::parse_args(command, std::vector<std::string>(words.begin() + 1, words.end()));
        if (args.help) {
            std::fputs(cli::help_text(command).c_str(), stdout);
            return 0;
        }
        entry.run(args);
        return 0;
    }
    throw cli::UsageError("unknown command '" + first + "' (see 'quorv --help')");
}

}  // namespace

int main(int argc, char **argv)
{
    minihost::set_console_echo(true);
    cli::install_stop_handlers();
    int status = 0;
    try {
        status = run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const cli::UsageError &e) {
        status = fail(e.what(), 2);
    } catch (const front::Error &e) {  // cli::Error too
        status = fail(e.what(), 1);
    } catch (const std::bad_alloc &) {
        status = fail("out of memory", 1);
    } catch (const std::exception &e) {
        status = fail(std::string("internal error: ") + e.what(), 1);
    }
    if (std::fflush(stdout) != 0 && status == 0)
        status = fail("cannot write to standard output", 1);
    return status;
}
