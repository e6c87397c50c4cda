#include "strict_host/transcript.h"

#include "support.h"

#include <cstdio>
#include <stdexcept>

namespace qt {
namespace {

std::unique_ptr<Plugin> fresh(const char *path)
{
    std::string error;
    auto plugin = Plugin::load(path, &error);
    if (!plugin)
        throw std::runtime_error(error);
    return plugin;
}

std::string written(const std::string &what, const CallResult &r)
{
    std::string out = "== " + what + (r.ok ? ": ok\n" : ": error: " + r.error + "\n");
    out += masked(r.console);
    for (size_t i = 0; i < r.outputs.size(); ++i) {
        const mxArray *a = r.outputs[i].get();
        out += "output " + std::to_string(i + 1) + ":";
        if (!a) {
            out += " none\n";
            continue;
        }
        for (size_t d : minihost::dims(a))
            out += " " + std::to_string(d);
        out += " |";
        for (double v : minihost::values(a)) {
            char hex[40];
            std::snprintf(hex, sizeof hex, " %a", v);
            out += hex;
        }
        out += "\n";
    }
    return out;
}

Arg with_class(Arg a, mxClassID cls)
{
    a.cls = cls;
    return a;
}

}  // namespace

std::string transcript()
{
    auto train_plugin = fresh(QUORV_TRAIN_PLUGIN);
    auto perf_plugin = fresh(QUORV_PERF_PLUGIN);
    std::string out;

    const struct {
        const char *name;
        double vigilance, oflag;
    } runs[] = {{"iris", 0.75, 3}, {"wine", 0.6, 1}, {"glass", 0.8, 2}};
    for (const auto &run : runs) {
        Dataset kept, held;
        split(load_dataset(run.name), 3, 0, &kept, &held);
        const Dataset fit = kept;
        scale_like(fit, &kept);
        scale_like(fit, &held);
        TrainParams p;
        p.vigilance = run.vigilance;
        p.oflag = run.oflag;
        const CallResult t = train(*train_plugin, kept.rows, kept.cols, kept.x, kept.y, p);
        out += written(std::string("train ") + run.name, t);
        if (!t.ok)
            continue;
        const mxArray *templates = t.outputs.at(0).get();
        out += written(std::string("perf ") + run.name,
                       perf(*perf_plugin, minihost::dims(templates).at(0), minihost::dims(templates).at(1),
                            row_major(templates), minihost::values(t.outputs.at(1).get()), run.vigilance,
                            held.rows, held.cols, held.x, -1, run.oflag));
    }

    // Every input slot given each class that the real interface tells apart
    // only through its predicates.
    struct Variant {
        const char *name;
        Arg (*change)(const Arg &);
    };
    const Variant variants[] = {
        {"int8", [](const Arg &a) { return with_class(a, mxINT8_CLASS); }},
        {"single", [](const Arg &a) { return with_class(a, mxSINGLE_CLASS); }},
        {"logical", [](const Arg &a) { return with_class(a, mxLOGICAL_CLASS); }},
        {"char", [](const Arg &a) { return with_class(a, mxCHAR_CLASS); }},
        {"cell", [](const Arg &a) { return with_class(a, mxCELL_CLASS); }},
        {"struct", [](const Arg &a) { return with_class(a, mxSTRUCT_CLASS); }},
        {"complex", [](const Arg &a) { Arg c = a; c.complex = true; return c; }},
        {"sparse", [](const Arg &a) { Arg s = a; s.sparse = true; return s; }},
    };
    const struct {
        const char *name;
        Plugin *plugin;
        std::vector<Arg> good;
        int nlhs;
    } gateways[] = {{"train", train_plugin.get(), good_train_inputs(), 3},
                    {"perf", perf_plugin.get(), good_perf_inputs(), 1}};
    for (const auto &g : gateways) {
        out += written(std::string(g.name) + " good", call_with(*g.plugin, inputs(g.good, {}), g.nlhs));
        for (size_t slot = 0; slot < g.good.size(); ++slot)
            for (const auto &v : variants) {
                const Call call{{{static_cast<int>(slot), v.change(g.good[slot])}}};
                out += written(std::string(g.name) + " input " + std::to_string(slot + 1) + " " + v.name,
                               call_with(*g.plugin, inputs(g.good, call), g.nlhs));
            }
    }
    return out;
}

}  // namespace qt
