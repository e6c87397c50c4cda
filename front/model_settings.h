// Version 4's named settings: the record after the training parameters
// that holds what versions 1 to 3 cannot (each setting off when absent), in
// the one order the writer writes and the reader requires.
#ifndef QUORV_FRONT_MODEL_SETTINGS_H
#define QUORV_FRONT_MODEL_SETTINGS_H

#include "model.h"
#include "model_reader.h"

#include <string>

namespace front {

// Whether any setting of `m` is on, so that the file must be version 4.
bool has_settings(const Model &m);
// "settings N", then the N settings that are on.
void put_settings(std::string *out, const Model &m);
// "settings N", then N settings by name in table order, each at most once;
// an unknown, repeated or misplaced name is refused with its line.
void read_settings(Reader &in, Model *m);
// Once the order or the forest's draws are read: refuses a setting that the
// kind of model cannot have (an out-of-bag estimate of anything but a forest
// drawing with replacement), at the line just read.
void check_settings_fit(Reader &in, const Model &m);

}  // namespace front

#endif
