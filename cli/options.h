// Command-line options: each command declares a table, from which both the
// parser and the --help text come, so the two cannot drift apart.
#ifndef QUORV_CLI_OPTIONS_H
#define QUORV_CLI_OPTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cli {

struct Option {
    std::string name;        // "--vigilance"
    std::string value_name;  // "V"; empty for a flag
    std::string help;        // one line, with the default
    char short_name = 0;     // 'o' for -o
};

struct Command {
    std::string name;
    std::vector<std::string> operands;  // names of the required operands, in order
    std::string usage;                  // what follows the name in the usage line
    std::string summary;                // one line for `quorv --help`
    std::string description;            // paragraph for `quorv NAME --help`
    std::vector<Option> options;        // --help is added by the parser
};

class Args {
public:
    std::vector<std::string> operands;
    bool help = false;

    bool has(const std::string &name) const { return values_.count(name) != 0; }
    std::string text(const std::string &name, const std::string &fallback = "") const;
    // Throws UsageError naming the option for a value that is not a number.
    double number(const std::string &name, double fallback) const;
    // A number that `fits`, else UsageError "NAME: 'TEXT' is not RANGE".
    double number(const std::string &name, double fallback, bool (*fits)(double), const std::string &range) const;
    // Whole numbers in [lo, hi], 64-bit on every platform (seeds).
    std::int64_t integer(const std::string &name, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const;

private:
    friend Args parse_args(const Command &, const std::vector<std::string> &);
    std::map<std::string, std::string> values_;  // flags hold ""
};

// "--name VALUE", "--name=VALUE", "-o VALUE"; options and operands in any
// order; "--" ends the options. Throws UsageError for unknown options, missing
// values and a wrong operand count (unless --help was given).
Args parse_args(const Command &command, const std::vector<std::string> &words);

std::string help_text(const Command &command);

}  // namespace cli

#endif
