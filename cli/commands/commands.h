// The tool's commands: each has its option table and its run function.
#ifndef QUORV_CLI_COMMANDS_H
#define QUORV_CLI_COMMANDS_H

#include "csv.h"
#include "options.h"

namespace front {
struct Model;
}

namespace cli {

struct CommandEntry {
    Command (*spec)();
    void (*run)(const Args &args);
};

Command train_command();
void run_train(const Args &args);
Command classify_command();
void run_classify(const Args &args);
Command plot_command();
void run_plot(const Args &args);
Command demo_command();
void run_demo(const Args &args);
Command tune_command();
void run_tune(const Args &args);
Command info_command();
void run_info(const Args &args);

// A model and a CSV file read together: the data's columns must be the
// model's features (and optionally its label column).
struct Dataset;
using front::Model;
// `keep` columns are passed through, `ignore` ones left out (the model's own
// ignored columns are left out always).
void read_model_and_data(const std::string &model_path, const std::string &data_path, Model *model,
                         Dataset *data, const std::vector<std::string> &keep = {},
                         const std::vector<std::string> &ignore = {}, const CsvFormat &format = {});

}  // namespace cli

#endif
