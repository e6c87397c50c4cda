// The command-line tool's readers under the fuzzer: a CSV file or a model
// file made of the fuzzer's bytes must be read or refused with one clean line,
// whatever is read must hold what the readers promise, and a model file read
// line by line must give what its text in memory gives.
#include "fuzz_readers.h"

#include "csv.h"
#include "dataset.h"
#include "error.h"
#include "model.h"
#include "text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

[[noreturn]] void fault(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "fuzz_readers: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// A refusal is one line of visible text.
void check_message(const cli::Error &e)
{
    const std::string message = e.what();
    if (message.empty() || cli::visible(message) != message || message.find('\n') != std::string::npos)
        fault("a message with raw control bytes or invalid UTF-8", cli::visible(message));
}

// The model reader's refusals quote the file raw (each front end shows them
// its own way) but stay on one line.
void check_message(const front::Error &e)
{
    const std::string message = e.what();
    if (message.empty() || message.find('\n') != std::string::npos)
        fault("a message of no text or of several lines", cli::visible(message));
}

// The readers take paths: the bytes go into one memory file, reused.
std::string as_file(const std::string &bytes)
{
    static int fd = -1;
    if (fd < 0 && (fd = memfd_create("quorv_fuzz", 0)) < 0)
        fault("memfd_create failed", "");
    if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        fault("cannot fill the memory file", "");
    return "/proc/self/fd/" + std::to_string(fd);
}

// The model file read line by line must give what the text in memory gives:
// the same model, or the same refusal (after the path) at the same line.
void read_model_streamed(const std::string &text, const std::string &from_text)
{
    const std::string path = as_file(text);
    std::string from_file;
    try {
        from_file = cli::model_text(cli::read_model(path));
    } catch (const front::Error &e) {
        check_message(e);
        from_file = e.what();
        if (from_file.compare(0, path.size(), path) == 0)
            from_file.replace(0, path.size(), "fuzz.model");
    }
    if (from_file != from_text)
        fault("the model file read line by line differs from its text",
              cli::visible(from_file) + "\n" + cli::visible(from_text));
    // The outline (info's reader) refuses what the whole reader refuses, alike.
    const bool accepted = from_file.compare(0, 11, "quorv-model") == 0;
    std::string outline = "accepted";
    try {
        const cli::Model m = front::read_model_outline(path);
        for (const cli::Member &member : m.members)
            if (!member.templates.empty())
                fault("the outline kept the bounds", "");
    } catch (const front::Error &e) {
        outline = e.what();
        if (outline.compare(0, path.size(), path) == 0)
            outline.replace(0, path.size(), "fuzz.model");
    }
    if (outline != (accepted ? std::string("accepted") : from_file))
        fault("the outline reader differs from the whole reader", cli::visible(outline) + "\n" + cli::visible(from_file));
}

void read_model_text(const std::string &text)
{
    cli::Model m;
    try {
        m = cli::parse_model(text, "fuzz.model");
    } catch (const front::Error &e) {
        check_message(e);
        read_model_streamed(text, e.what());
        return;
    }
    // What the reader accepts is a meaningful model, and it writes back as it reads.
    if (m.cols() == 0 || m.members.empty())
        fault("a model of inconsistent sizes", text);
    for (size_t i = 0; i < m.members.size(); ++i) {
        const cli::Member &member = m.members[i];
        // A forest member's nodes span its own features.
        if (member.nodes == 0 || member.templates.size() != 2 * m.member_cols(i) * member.nodes ||
            member.labels.size() != member.nodes)
            fault("a model of inconsistent sizes", text);
        for (size_t k = 0; k < member.nodes; ++k)
            for (size_t j = 0; j < m.member_cols(i); ++j)
                if (!(m.lower(i, k, j) <= m.upper(i, k, j)) || !std::isfinite(m.lower(i, k, j)) ||
                    !std::isfinite(m.upper(i, k, j)))
                    fault("a node bound out of order or not finite", text);
    }
    for (size_t j = 0; j < m.cols(); ++j)
        if (!(m.scaling.min[j] <= m.scaling.max[j]))
            fault("a feature range out of order", text);
    const cli::TrainParams &p = m.params;
    if (!(p.vigilance >= 0 && p.vigilance <= 1) || !(p.learning_rate > 0 && p.learning_rate <= 1) ||
        !(p.epsilon >= 0) || !(p.min_size >= 0) || p.trim_option < 0 || p.trim_option > 1 ||
        p.max_list_presentations < 1)
        fault("a training parameter out of range", text);
    const std::string written = cli::model_text(m);
    if (cli::model_text(cli::parse_model(written, "again.model")) != written)
        fault("a model that does not read back as written", text);
    read_model_streamed(text, written);
}

void read_csv_text(const std::string &text)
{
    try {
        const cli::CsvTable table = cli::read_csv(as_file(text));
        if (table.cols() == 0 || table.values.size() != table.rows * table.cols() || table.lines.size() != table.rows)
            fault("a table of inconsistent sizes", text);
        for (double v : table.values)
            if (!std::isfinite(v))
                fault("a cell that is not finite", text);
        cli::Dataset data = cli::training_data(table, "");
        cli::apply_scaling(cli::fit_scaling(data, true), &data);
        for (double v : data.x)
            if (!(v >= 0 && v <= 1))
                fault("a scaled value outside [0, 1]", text);
    } catch (const cli::Error &e) {
        check_message(e);
    }
}

}  // namespace

void fuzz_readers(const uint8_t *data, size_t size, bool model)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    // Whatever the bytes, the escapes give visible text and well-formed XML text.
    const std::string xml = cli::xml_text(text);
    if (cli::visible(xml) != xml || xml.find_first_of("<>\"'") != std::string::npos)
        fault("xml_text let through what XML cannot hold", cli::visible(text));
    if (model)
        read_model_text(text);
    else
        read_csv_text(text);
}
