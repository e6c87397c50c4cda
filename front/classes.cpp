// The class coding of training labels (classes.h): numbers are their own
// codes, text is coded by the byte order of the names.
#include "front/classes.h"

#include "front/numbers.h"

#include <algorithm>
#include <unordered_set>

namespace front {

bool code_numbers(const std::vector<double> &labels, LabelCodes *out)
{
    if (!std::all_of(labels.begin(), labels.end(), is_int32_whole))
        return false;
    out->classes.clear();
    for (double code : distinct_labels(labels))
        out->classes.push_back({code, format_double(code)});
    out->codes = labels;
    return true;
}

LabelCodes code_names(const std::vector<std::string> &labels)
{
    std::vector<std::string> distinct = labels;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    LabelCodes out;
    for (size_t c = 0; c < distinct.size(); ++c)
        out.classes.push_back({static_cast<double>(c + 1), distinct[c]});
    out.codes.reserve(labels.size());
    for (const std::string &name : labels)
        out.codes.push_back(
            static_cast<double>(std::lower_bound(distinct.begin(), distinct.end(), name) - distinct.begin() + 1));
    return out;
}

bool numbered(const std::vector<ClassName> &classes)
{
    return std::all_of(classes.begin(), classes.end(),
                       [](const ClassName &c) { return c.name == format_double(c.code); });
}

long free_unknown_label(const std::vector<double> &codes, const std::vector<std::string> &names)
{
    std::vector<double> taken = codes;
    std::sort(taken.begin(), taken.end());
    const std::unordered_set<std::string> named(names.begin(), names.end());
    long unknown = -1;
    while (std::binary_search(taken.begin(), taken.end(), static_cast<double>(unknown)) ||
           named.count(std::to_string(unknown)))
        --unknown;
    return unknown;
}

long free_unknown_label(const std::vector<ClassName> &classes)
{
    std::vector<double> codes;
    std::vector<std::string> names;
    for (const ClassName &c : classes) {
        codes.push_back(c.code);
        names.push_back(c.name);
    }
    return free_unknown_label(codes, names);
}

}  // namespace front
