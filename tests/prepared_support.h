// A prepared model made from row-major templates (lower bounds then upper
// bounds per row) and their labels, for the tests that compare it with the
// plug-in.
#ifndef QUORV_TESTS_PREPARED_SUPPORT_H
#define QUORV_TESTS_PREPARED_SUPPORT_H

#include "model/prepared.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <vector>

inline std::unique_ptr<PreparedModel> make_prepared(int m, int k, const std::vector<double> &templates,
                                                    const std::vector<double> &labels, int threads)
{
    SearchConfig config = SearchConfig::for_processor();
    config.threads = threads;
    auto prepared = std::make_unique<PreparedModel>(m, config);
    TemplateView view;
    view.values = reinterpret_cast<const char *>(templates.data());
    view.row_stride = 2 * m * static_cast<std::ptrdiff_t>(sizeof(double));
    view.column_stride = sizeof(double);
    view.labels = reinterpret_cast<const char *>(labels.data());
    view.label_stride = sizeof(double);
    view.count = k;
    EXPECT_TRUE(prepared->make(view));
    return prepared;
}

#endif
