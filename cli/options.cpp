// Option parsing and help text from the command's option table.
#include "options.h"

#include "error.h"
#include "numbers.h"

#include <algorithm>

namespace cli {

namespace {

const Option kHelp = {"--help", "", "show this help and exit", 'h'};

const Option *find_option(const Command &command, const std::string &word)
{
    for (const Option &option : command.options)
        if (word == option.name || (option.short_name && word == std::string("-") + option.short_name))
            return &option;
    if (word == kHelp.name || word == "-h")
        return &kHelp;
    return nullptr;
}

std::string see_help(const Command &command)
{
    return " (see 'quorv " + command.name + " --help')";
}

}  // namespace

std::string Args::text(const std::string &name, const std::string &fallback) const
{
    const auto at = values_.find(name);
    return at == values_.end() ? fallback : at->second;
}

double Args::number(const std::string &name, double fallback) const
{
    if (!has(name))
        return fallback;
    double value = 0;
    bool out_of_range = false;
    if (!parse_double(text(name), &value, &out_of_range))
        throw UsageError(name + ": '" + text(name) + "' is " + (out_of_range ? "out of the range of doubles" : "not a number"));
    return value;
}

double Args::number(const std::string &name, double fallback, bool (*fits)(double), const std::string &range) const
{
    const double value = number(name, fallback);
    if (has(name) && !fits(value))
        throw UsageError(name + ": '" + text(name) + "' is not " + range);
    return value;
}

std::int64_t Args::integer(const std::string &name, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const
{
    if (!has(name))
        return fallback;
    std::int64_t value = 0;
    if (!front::parse_int64(text(name), lo, hi, &value))
        throw UsageError(name + ": '" + text(name) + "' is not a whole number from " + std::to_string(lo) +
                         " to " + std::to_string(hi));
    return value;
}

Args parse_args(const Command &command, const std::vector<std::string> &words)
{
    Args args;
    bool options_done = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (options_done || word.size() < 2 || word[0] != '-') {
            args.operands.push_back(word);
            continue;
        }
        if (word == "--") {
            options_done = true;
            continue;
        }
        const size_t equals = word.find('=');
        const std::string key = word.rfind("--", 0) == 0 ? word.substr(0, equals) : word;
        const Option *option = find_option(command, key);
        if (!option)
            throw UsageError(command.name + ": unknown option '" + key + "'" + see_help(command));
        if (option == &kHelp) {
            args.help = true;
            continue;
        }
        std::string value;
        if (option->value_name.empty()) {
            if (key != word)
                throw UsageError(option->name + " takes no value");
        } else if (key != word) {
            value = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            value = words[++i];
        } else {
            throw UsageError(option->name + " needs a value " + option->value_name);
        }
        args.values_[option->name] = value;
    }
    if (args.help)
        return args;
    if (args.operands.size() < command.operands.size())
        throw UsageError(command.name + ": missing " + command.operands[args.operands.size()] + see_help(command));
    if (args.operands.size() > command.operands.size())
        throw UsageError(command.name + ": unexpected argument '" + args.operands[command.operands.size()] + "'" +
                         see_help(command));
    return args;
}

std::string help_text(const Command &command)
{
    std::string text = "Usage: quorv " + command.name + " " + command.usage + "\n\n" + command.description +
                       "\n\nOptions:\n";
    std::vector<Option> all = command.options;
    all.push_back(kHelp);
    std::vector<std::string> left;
    size_t width = 0;
    for (const Option &option : all) {
        std::string l = option.short_name ? std::string("  -") + option.short_name + ", " : std::string("      ");
        l += option.name;
        if (!option.value_name.empty())
            l += " " + option.value_name;
        width = std::max(width, l.size());
        left.push_back(l);
    }
    // Help words wrapped to 79 columns, continuation lines under the first.
    const size_t indent = width + 2, limit = 79;
    for (size_t i = 0; i < all.size(); ++i) {
        std::string line = left[i] + std::string(indent - left[i].size(), ' ');
        size_t used = indent;
        for (size_t at = 0; at < all[i].help.size();) {
            const size_t end = std::min(all[i].help.find(' ', at), all[i].help.size());
            const std::string word = all[i].help.substr(at, end - at);
            if (used > indent && used + 1 + word.size() > limit) {
                line += "\n" + std::string(indent, ' ');
                used = indent;
            } else if (used > indent) {
                line += " ";
                ++used;
            }
            line += word;
            used += word.size();
            at = end + 1;
        }
        text += line + "\n";
    }
    return text;
}

}  // namespace cli
