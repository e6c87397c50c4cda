// The tool's commands: each has its option table and its run function.
#ifndef QUORV_CLI_COMMANDS_H
#define QUORV_CLI_COMMANDS_H

#include "options.h"

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

// A model and a CSV file read together: the data's columns must be the
// model's features (and optionally its label column).
struct Dataset;
struct Model;
void read_model_and_data(const std::string &model_path, const std::string &data_path, Model *model,
                         Dataset *data);

}  // namespace cli

#endif
