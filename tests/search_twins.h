// The plug-ins against their straight twins (bench/), which search with the
// plain per-node loop: loading a twin, and one call run on both with
// everything observable compared (outputs bit for bit, console, host flops).
#ifndef QUORV_TESTS_SEARCH_TWINS_H
#define QUORV_TESTS_SEARCH_TWINS_H

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace search_twins {

inline bool same_bits(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline std::string twin_path(const std::string &path)
{
    const std::string suffix = ".mexa64";
    return path.substr(0, path.size() - suffix.size()) + "_straight" + suffix;
}

inline std::unique_ptr<qt::Plugin> load_twin(const char *path)
{
    std::string error;
    auto plugin = qt::Plugin::load(twin_path(path), &error);
    EXPECT_TRUE(plugin) << error << " (the twins are built in bench/: quorv_train_straight, quorv_perf_straight)";
    return plugin;
}

// Both plug-ins and both their straight twins.
struct Plugins {
    std::unique_ptr<qt::Plugin> train, perf, straight_train, straight_perf;
    bool loaded() const { return train && perf && straight_train && straight_perf; }
};

inline Plugins load_all()
{
    return Plugins{qt::load_train(), qt::load_perf(), load_twin(QUORV_TRAIN_PLUGIN), load_twin(QUORV_PERF_PLUGIN)};
}

// The seconds of a summary are two clock readings apart and may differ.
inline std::string steady_seconds(std::string console)
{
    const std::string tail = " seconds\n";
    for (size_t at = console.find(tail); at != std::string::npos; at = console.find(tail, at + tail.size())) {
        size_t digits = at;
        while (digits > 0 && console[digits - 1] >= '0' && console[digits - 1] <= '9')
            --digits;
        console.replace(digits, at - digits, "#");
        at = digits + 1;
    }
    return console;
}

// Runs one call on each plug-in; everything observable must agree.
template <typename Call>
void expect_twins(qt::Plugin &fast, qt::Plugin &straight, const Call &call, const std::string &what)
{
    double flops0 = minihost::flops();
    const qt::CallResult a = call(fast);
    const double fast_flops = minihost::flops() - flops0;
    flops0 = minihost::flops();
    const qt::CallResult b = call(straight);
    const double straight_flops = minihost::flops() - flops0;
    ASSERT_EQ(a.ok, b.ok) << what << ": " << a.error << " / " << b.error;
    EXPECT_EQ(a.error, b.error) << what;
    EXPECT_EQ(steady_seconds(a.console), steady_seconds(b.console)) << what;
    EXPECT_EQ(fast_flops, straight_flops) << what;
    ASSERT_EQ(a.outputs.size(), b.outputs.size()) << what;
    for (size_t k = 0; k < a.outputs.size(); ++k) {
        ASSERT_EQ(!a.outputs[k], !b.outputs[k]) << what << " output " << k;
        if (a.outputs[k]) {
            EXPECT_EQ(minihost::dims(a.outputs[k].get()), minihost::dims(b.outputs[k].get())) << what;
            EXPECT_TRUE(same_bits(minihost::values(a.outputs[k].get()), minihost::values(b.outputs[k].get())))
                << what << " output " << k;
        }
    }
}

}  // namespace search_twins

#endif
