// Class codes of training labels, one rule for every front end: when every
// label is a whole number in the int range, each is its own code, named as
// the number prints; otherwise each distinct text is a class, coded 1, 2, ...
// in the byte order of the names (not of the rows, so that shuffling cannot
// change them). A model's classes read back as numbers exactly when every
// name is its code's text.
#ifndef QUORV_FRONT_CLASSES_H
#define QUORV_FRONT_CLASSES_H

#include "front/model.h"

#include <string>
#include <vector>

namespace front {

struct LabelCodes {
    std::vector<ClassName> classes;  // by ascending code
    std::vector<double> codes;       // one per label, in the labels' order
};

// The labels as their own codes; false (and `*out` untouched) when some label
// is not a whole number in the int range.
bool code_numbers(const std::vector<double> &labels, LabelCodes *out);

// Text labels coded 1, 2, ... in the byte order of the distinct names.
LabelCodes code_names(const std::vector<std::string> &labels);

// True when every class is named by its code's text: such classes read back
// from a model file as numbers, any others as text.
bool numbered(const std::vector<ClassName> &classes);

// The label of unclassified patterns when none is given: -1, or the first
// whole number below it that is neither one of `codes` nor, as text, one of
// `names` (predictions name their classes, so it must not read as one).
long free_unknown_label(const std::vector<double> &codes, const std::vector<std::string> &names);
// The same for the codes and names of `classes`.
long free_unknown_label(const std::vector<ClassName> &classes);

}  // namespace front

#endif
