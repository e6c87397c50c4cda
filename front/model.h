// A trained model and its text file, read and written here for every front
// end (the tool and the Python package bind this code; neither has a copy).
//
// What it keeps true: parse_model(model_text(m)) gives m back bit for bit, and
// model_text(parse_model(t)) == t for every text in the form model_text
// writes (numbers in their shortest form, LF line ends), whichever front end
// read it; a model is written only when it reads back, so a front end cannot
// save what it could not load. Lines are capped (kMaxLine) and messages quote
// at most a short piece of a bad value. Names are UTF-8.
//
// Format versions: 1 holds one member trained in file order whose classes are
// numbers named by themselves, with nodes in every class, and no ignored
// columns; 2 adds named classes, ignored columns, the row order and voting
// members; 3 is 2 for a forest, whose members each record the features they
// use and draw their rows by the forest's sample rule and their seed (no list
// of rows); 4 is 2 or 3 (by whether it is a forest) with named settings after
// the training parameters, written only when one is not its default. A model
// read keeps its file's version; a new one is 1 and is written as 2 only when
// it holds what 1 cannot, as 3 when it is a forest, as 4 with a setting. A
// later version adds its
// records as a step of the reader's (read_records in model.cpp) and raises
// kVersion; model_text and that reader are the only places that know the
// records. Whole numbers are written as digits alone, and only so read.
#ifndef QUORV_FRONT_MODEL_H
#define QUORV_FRONT_MODEL_H

#include "forest.h"
#include "scaling.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace front {

// The training plug-in's parameters after the patterns and their labels.
struct TrainParams {
    double vigilance = 0.75;
    double min_size = 0.0;
    double learning_rate = 1.0;
    double epsilon = 0.001;
    long max_list_presentations = kSingleDefaults.max_list_presentations;
    long trim_option = kSingleDefaults.trim_option;
};

// The first parameter outside the range the training plug-in accepts (and
// the model reader holds to), for a model of `features` features.
struct ParamFault {
    std::string name;     // as the model file names it: "vigilance", ..., "trim_option"
    std::string message;  // "NAME VALUE is not RANGE"; empty when every parameter fits
};
ParamFault check_params(const TrainParams &params, size_t features);

// A class: the whole-number code the plug-ins see, and the name the data uses
// (the number itself for numeric labels).
struct ClassName {
    double code = 0;
    std::string name;
};

// The nodes of one training run.
struct Member {
    double list_presentations = 0;
    size_t nodes = 0;
    std::vector<double> templates;  // row-major, nodes x 2F: F lower bounds, then F upper bounds
    std::vector<double> labels;     // one class code per node
    std::vector<size_t> features;   // a forest member's F features (ascending positions); empty: all M
};

// How a forest's members drew (front/forest.h): member k's rows by `sample`
// and `features` of the model's features, with seed shuffle_seed + k - 1.
struct ForestDraws {
    bool on = false;
    SampleRule sample;
    size_t features = 0;
};

// A forest's out-of-bag estimate (front/oob.h) as the model file records it:
// `correct` of the `rows` training patterns some member did not draw were
// given their class by the vote of those members, the patterns no box took
// given the nearest box (`nearest`, classify's default) or left unknown.
struct OobRecord {
    bool on = false;  // computed; else the file has no record
    bool nearest = true;
    long correct = 0, rows = 0;
};

struct Model {
    int version = 1;                  // file format; see above
    std::vector<std::string> feature_names;
    std::string label_name;
    std::vector<std::string> ignored;  // data columns left out of the features
    std::vector<ClassName> classes;   // by ascending code
    Scaling scaling;                  // training-set ranges; applied when enabled
    TrainParams params;
    long training_patterns = 0;
    std::int64_t shuffle_seed = -1;   // rows shuffled with this seed (member k: seed + k - 1); -1: file order
    std::vector<Member> members;      // the voting members, member 1 first; one for a single model
    ForestDraws forest;               // a forest's draws (its seed: shuffle_seed)
    // Version-4 settings (model.cpp's kSettings), each off in files of versions 1-3.
    bool merge_conflicts = false;     // conflicting patterns merged before each training call,
    long merged_patterns = 0;         // taking this many away over every member: "conflicts merge N" when N > 0
    std::vector<double> missing_medians;  // "missing median": a feature's value for a missing cell; empty: refused
    OobRecord oob;                    // "oob RULE CORRECT ROWS"; off: not computed

    size_t cols() const { return feature_names.size(); }
    // Features member i sees: its own in a forest, else all.
    size_t member_cols(size_t i) const
    {
        return members[i].features.empty() ? cols() : members[i].features.size();
    }
    // Bounds of a node of member i, `feature` counted among the member's own.
    double lower(size_t member, size_t node, size_t feature) const
    {
        return members[member].templates[node * 2 * member_cols(member) + feature];
    }
    double upper(size_t member, size_t node, size_t feature) const
    {
        return members[member].templates[(node * 2 + 1) * member_cols(member) + feature];
    }
    size_t total_nodes() const;
    // The model with member i's nodes only (0-based): for a forest member, a
    // single model of its own features (their names and ranges).
    Model member(size_t i) const;
    // Class name of a code; the code's own text when the model has no such class.
    std::string class_name(double code) const;
};

// The class with `code` in classes sorted by ascending code, or null.
const ClassName *find_class(const std::vector<ClassName> &classes, double code);
// Name of a class code; the code's own text when no class has it.
std::string class_name_of(const std::vector<ClassName> &classes, double code);
// Sorted distinct labels.
std::vector<double> distinct_labels(const std::vector<double> &labels);

// Lines of a model file are at most this long, as lines of a CSV file.
constexpr size_t kMaxModelLine = size_t{128} << 20;
// Members of a voting model: each costs a plug-in call per classification.
constexpr long kMaxMembers = 1000;

// How a reader spreads a model's node rows over threads: in batches of
// about `batch` bytes of text, on `threads` threads (0: one a core, capped by
// QUORV_THREADS as the search is). The model read, and the refusal of a bad
// file, are the same whatever these are.
struct ReadSpread {
    int threads = 0;
    size_t batch = size_t{1} << 16;
};

// The model file's text. Throws Error when the text would not read back
// (a name that no line can hold, a parameter out of range, ...).
std::string model_text(const Model &model);
// Throws Error "PATH:LINE: ..." for anything but a well-formed model.
Model parse_model(const std::string &text, const std::string &path, const ReadSpread &spread = {});
// Reads and parses a model file line by line (front/model_reader.h), so that
// its memory is bounded by the model, not by the file: a file that does not
// start like one is refused after its first block, a line beyond
// kMaxModelLine as soon as it is seen, and text after the model at its first
// line, without reading on. "-" is a file's name here, never standard input.
// A path ending in ".gz" is read through zlib as a gzip stream.
Model read_model(const std::string &path, const ReadSpread &spread = {});
// read_model with every check of the file, but the members' templates left
// empty (their node counts, labels and features kept): for a report of what
// a file holds, in a fraction of the memory and time.
Model read_model_outline(const std::string &path, const ReadSpread &spread = {});

// Whether a model file at `path` is a gzip stream: its name ends in ".gz".
bool gzip_path(const std::string &path);
// The bytes of the model file at `path`: model_text, gzip-compressed when
// gzip_path says so. Throws Error as model_text does.
std::string model_file_bytes(const Model &model, const std::string &path);

}  // namespace front

#endif
