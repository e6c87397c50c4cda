// Shared test helpers.
#include "support.h"

#include <gtest/gtest.h>

#if __has_include(<elf.h>)
#include <elf.h>
#endif

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace qt {

namespace {
std::unique_ptr<Plugin> load(const char *path)
{
    std::string error;
    auto plugin = Plugin::load(path, &error);
    EXPECT_TRUE(plugin) << error;
    return plugin;
}
}  // namespace

std::unique_ptr<Plugin> load_train() { return load(QUORV_TRAIN_PLUGIN); }
std::unique_ptr<Plugin> load_perf() { return load(QUORV_PERF_PLUGIN); }

CallResult train(Plugin &plugin, size_t rows, size_t cols, const std::vector<double> &patterns,
                 const std::vector<double> &labels, const TrainParams &p, int nlhs)
{
    Array inputs[] = {minihost::make_row_major(rows, cols, patterns),
                      minihost::make_double(labels.size(), 1, labels),
                      minihost::make_scalar(p.vigilance),
                      minihost::make_scalar(p.min_size),
                      minihost::make_scalar(p.learning_rate),
                      minihost::make_scalar(p.epsilon),
                      minihost::make_scalar(p.max_list_presentations),
                      minihost::make_scalar(p.trim_option),
                      minihost::make_scalar(p.oflag)};
    std::vector<const mxArray *> in;
    for (auto &a : inputs)
        in.push_back(a.get());
    return plugin.call(nlhs, in);
}

CallResult perf(Plugin &plugin, size_t k, size_t w, const std::vector<double> &templates,
                const std::vector<double> &node_labels, double vigilance, size_t n, size_t m,
                const std::vector<double> &patterns, double unknown_label, double oflag, int nlhs)
{
    Array inputs[] = {minihost::make_row_major(k, w, templates),
                      minihost::make_double(node_labels.size(), 1, node_labels),
                      minihost::make_scalar(vigilance),
                      minihost::make_row_major(n, m, patterns),
                      minihost::make_scalar(unknown_label),
                      minihost::make_scalar(oflag)};
    std::vector<const mxArray *> in;
    for (auto &a : inputs)
        in.push_back(a.get());
    return plugin.call(nlhs, in);
}

Arg S(double v) { return {{1, 1}, {v}}; }
Arg A(std::vector<size_t> dims, double v) { return {std::move(dims), {v}}; }

Arg matrix(size_t rows, size_t cols, const std::vector<double> &row_major)
{
    Arg a{{rows, cols}, std::vector<double>(rows * cols)};
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            a.values[j * rows + i] = row_major[i * cols + j];
    return a;
}

Array build(const Arg &a)
{
    if (a.sparse)
        return minihost::make_sparse(a.dims.at(0), a.dims.at(1));
    if (a.cls == mxCELL_CLASS || a.cls == mxSTRUCT_CLASS)
        return minihost::make_array(a.dims, a.cls);
    size_t count = 1;
    for (size_t d : a.dims)
        count *= d;
    std::vector<double> v = a.values;
    if (v.size() != count)
        v.assign(count, a.values.at(0));
    return minihost::make_array(a.dims, a.cls, a.complex, v, a.complex ? v : std::vector<double>{});
}

std::vector<Arg> good_train_inputs()
{
    return {{{5, 4}, {0.1, 0.2, 0.8, 0.9, 0.5, 0.1, 0.2, 0.9, 0.8, 0.5, 0.3, 0.3, 0.7, 0.7, 0.5,
                      0.4, 0.4, 0.6, 0.6, 0.5}},  // column-major
            {{5, 1}, {1, 1, 2, 2, 1}},
            S(0.75), S(0.5), S(1.0), S(0.001), S(10), S(0), S(0)};
}

std::vector<Arg> good_perf_inputs()
{
    return {matrix(4, 4, {0, 0, 0.2, 0.2, 0.8, 0.8, 1, 1, 0, 0.8, 0.2, 1, 0.8, 0, 1, 0.2}),
            {{4, 1}, {1, 2, 3, 4}},
            S(0.5),
            matrix(10, 2, {0.1, 0.1, 0.9, 0.9, 0.1, 0.9, 0.9, 0.1, 5, 5, 0.1, 0.15, 0.95, 0.85, 0.15, 0.95,
                           0.85, 0.05, -3, 7}),
            S(-1),
            S(0)};
}

std::vector<Array> inputs(const std::vector<Arg> &good, const Call &call)
{
    const size_t nrhs = call.nrhs < 0 ? good.size() : static_cast<size_t>(call.nrhs);
    std::vector<Arg> args = good;
    if (args.size() < nrhs)
        args.resize(nrhs, S(0));
    for (const auto &c : call.changes)
        args.at(static_cast<size_t>(c.slot)) = c.arg;
    std::vector<Array> arrays;
    for (size_t i = 0; i < nrhs; ++i)
        arrays.push_back(build(args[i]));
    return arrays;
}

CallResult call_with(Plugin &plugin, const std::vector<Array> &arrays, int nlhs, long fail_at)
{
    std::vector<const mxArray *> in;
    for (const auto &a : arrays)
        in.push_back(a.get());
    minihost::fail_allocation(fail_at);
    minihost::reset_allocation_count();
    CallResult result = plugin.call(nlhs, in);
    minihost::fail_allocation(0);
    return result;
}

CallResult call_train(Plugin &plugin, const Call &call, long fail_at)
{
    return call_with(plugin, inputs(good_train_inputs(), call), call.nlhs < 0 ? 3 : call.nlhs, fail_at);
}

CallResult call_perf(Plugin &plugin, const Call &call, long fail_at)
{
    return call_with(plugin, inputs(good_perf_inputs(), call), call.nlhs < 0 ? 1 : call.nlhs, fail_at);
}

void expect_refused_cleanly(const std::function<CallResult()> &run, const std::string &message)
{
    const long blocks = minihost::live_blocks();
    minihost::reset_host_faults();
    const CallResult result = run();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, message);
    EXPECT_EQ(result.console, "");
    EXPECT_EQ(minihost::allocation_count(), 0);
    EXPECT_EQ(minihost::live_blocks(), blocks);
    EXPECT_EQ(minihost::host_faults(), 0);
    for (const auto &out : result.outputs)
        EXPECT_FALSE(out);
}

std::vector<double> row_major(const mxArray *a)
{
    const auto d = minihost::dims(a);
    const auto v = minihost::values(a);
    std::vector<double> out(v.size());
    for (size_t i = 0; i < d[0]; ++i)
        for (size_t j = 0; j < d[1]; ++j)
            out[i * d[1] + j] = v[j * d[0] + i];
    return out;
}

std::string masked(const std::string &console, const std::vector<std::string> &words)
{
    std::string out;
    for (size_t i = 0; i < console.size();) {
        size_t digits = i;
        while (digits < console.size() && console[digits] >= '0' && console[digits] <= '9')
            ++digits;
        bool hit = false;
        for (const auto &w : words)
            hit = hit || (digits > i && console.compare(digits, w.size(), w) == 0);
        if (hit) {
            out += '#';
        } else {
            out.append(console, i, digits > i ? digits - i : 1);
        }
        i = digits > i ? digits : i + 1;
    }
    return out;
}

std::vector<std::string> dynamic_symbols(const std::string &path, bool defined)
{
#if !__has_include(<elf.h>)
    (void)path;
    (void)defined;
    return {"<not a 64-bit ELF file>"};
#else
    std::ifstream file(path, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr) || image.compare(0, 4, ELFMAG) != 0 || image[EI_CLASS] != ELFCLASS64)
        return {"<not a 64-bit ELF file>"};
    Elf64_Ehdr eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    auto section = [&](size_t i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, image.data() + eh.e_shoff + i * eh.e_shentsize, sizeof sh);
        return sh;
    };
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Elf64_Shdr sh = section(i);
        if (sh.sh_type != SHT_DYNSYM)
            continue;
        const Elf64_Shdr strings = section(sh.sh_link);
        for (size_t off = sh.sh_offset; off + sizeof(Elf64_Sym) <= sh.sh_offset + sh.sh_size; off += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            std::memcpy(&sym, image.data() + off, sizeof sym);
            if ((sym.st_shndx != SHN_UNDEF) == defined && sym.st_name != 0 &&
                ELF64_ST_BIND(sym.st_info) != STB_LOCAL)
                names.emplace_back(image.c_str() + strings.sh_offset + sym.st_name);
        }
    }
    return names;
#endif
}

Dataset load_dataset(const std::string &name)
{
    Dataset data;
    std::ifstream in(std::string(QUORV_DATA_DIR) + "/" + name + ".csv");
    EXPECT_TRUE(in.good()) << "missing dataset " << name;
    std::string line;
    std::getline(in, line);
    data.cols = static_cast<size_t>(std::count(line.begin(), line.end(), ','));
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::stringstream cells(line);
        std::string cell;
        for (size_t j = 0; j <= data.cols && std::getline(cells, cell, ','); ++j)
            (j < data.cols ? data.x : data.y).push_back(std::stod(cell));
        ++data.rows;
    }
    return data;
}

void scale_like(const Dataset &fit, Dataset *data)
{
    for (size_t j = 0; j < fit.cols; ++j) {
        double lo = fit.x[j], hi = fit.x[j];
        for (size_t i = 0; i < fit.rows; ++i) {
            lo = std::min(lo, fit.x[i * fit.cols + j]);
            hi = std::max(hi, fit.x[i * fit.cols + j]);
        }
        for (size_t i = 0; i < data->rows; ++i) {
            double &v = data->x[i * data->cols + j];
            v = hi > lo ? (v - lo) / (hi - lo) : 0.0;
        }
    }
}

void split(const Dataset &all, size_t k, size_t r, Dataset *kept, Dataset *held)
{
    kept->cols = held->cols = all.cols;
    for (size_t i = 0; i < all.rows; ++i) {
        Dataset *to = i % k == r ? held : kept;
        to->x.insert(to->x.end(), all.x.begin() + static_cast<long>(i * all.cols),
                     all.x.begin() + static_cast<long>((i + 1) * all.cols));
        to->y.push_back(all.y[i]);
        ++to->rows;
    }
}

}  // namespace qt
