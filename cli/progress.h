// What a run tells the person at the terminal: a live line on stderr with the
// time taken and, where the work is counted, the time left, driven by the
// plug-ins' per-presentation and per-pattern console lines; a training summary
// in plain words; a clean end on Ctrl-C. Nothing is drawn when stderr is not a
// terminal.
#ifndef QUORV_CLI_PROGRESS_H
#define QUORV_CLI_PROGRESS_H

#include "front/client.h"

#include <chrono>
#include <string>

namespace cli {

// While alive, receives the training plug-in's console text. `verbose` is the
// user's plug-in detail: 0 shows none of it, 1 its summary, 2 and up all of
// it. The live line is drawn when stderr is a terminal and verbose <= 1.
class TrainingMonitor {
public:
    TrainingMonitor(long verbose, const std::string &title);
    ~TrainingMonitor();
    TrainingMonitor(const TrainingMonitor &) = delete;
    TrainingMonitor &operator=(const TrainingMonitor &) = delete;

    // The oflag to pass: at least 2, so that every presentation reports.
    long oflag() const { return verbose_ >= 0 && verbose_ < 2 ? 2 : verbose_; }
    // "converged after 29 presentations: 173 nodes (12 inactive), 45 ms".
    std::string summary(double list_presentations, size_t nodes, long max_presentations);

private:
    static void receive(const std::string &text, void *self);
    void line(const std::string &text);
    void draw();

    long verbose_;
    std::string title_, pending_;
    bool live_, in_summary_ = false;
    long presentation_ = 0, nodes_ = 0, last_new_ = -1, last_updates_ = -1, inactive_ = -1;
    bool trimmed_ = false;
    std::chrono::steady_clock::time_point start_, drawn_;
};

// The live line of one classification (all its plug-in calls): with a
// terminal watching and `verbose` <= 1 each call is asked for its per-pattern
// lines (oflag 2), which are counted into "classify: 1200 of 65536 patterns,
// 1.0 s, about 53 s left" (for a forest, patterns of all members' calls);
// only what `verbose` shows is passed on.
class ClassifyProgress {
public:
    // `wanted` false: never live (the caller draws a line of its own).
    ClassifyProgress(long verbose, bool wanted, size_t members, size_t rows);
    ~ClassifyProgress();
    ClassifyProgress(const ClassifyProgress &) = delete;
    ClassifyProgress &operator=(const ClassifyProgress &) = delete;

    long oflag() const { return live_ ? 2 : verbose_; }
    // Where the console of the next plug-in call goes: here when live, else
    // the host's echo. A nearest-box call's patterns are not counted again.
    front::Console call(bool nearest_pass);

private:
    static void receive(const std::string &text, void *self);
    void line(const std::string &text);
    void show(const std::string &text);

    long verbose_;
    bool live_, nearest_ = false, in_summary_ = false, blank_before_ = false, drawn_ = false;
    std::string pending_;
    double total_, done_ = 0;  // patterns of first-pass calls
    long call_done_ = 0;
    std::chrono::steady_clock::time_point start_, last_;
};

// "1.2 s" and, once 0 < done < total, ", about 40 s left" at the pace so far.
std::string time_taken_and_left(std::chrono::steady_clock::time_point start, double done, double total);

// While alive, a signal that ends the tool (Ctrl-C, TERM, ...) prints
// "quorv: interrupted; MESSAGE" ("ended by SIGTERM; MESSAGE") as the process
// ends by it (see signals.h). `message` must outlive the guard.
class InterruptGuard {
public:
    explicit InterruptGuard(const char *message);
    ~InterruptGuard();
    // Before the guard ends: the output is written, the message no longer true.
    void end();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
};

bool stderr_is_terminal();

// The live line of work counted in units: "TITLE: DONE of TOTAL WHAT, 1.2 s,
// about 40 s left",
// cleared once DONE reaches TOTAL.
void draw_count(const char *title, size_t done, size_t total, const char *what,
                std::chrono::steady_clock::time_point start);

}  // namespace cli

#endif
