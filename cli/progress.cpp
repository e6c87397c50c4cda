// Progress lines on a terminal, and the tool's own training summary.
#include "progress.h"

#include "minihost.h"
#include "platform.h"
#include "signals.h"

#include <cstdio>
#include <cstring>

namespace cli {

bool stderr_is_terminal() { return isatty(2) == 1; }

namespace {

std::string duration(double seconds)
{
    char text[64];
    const long s = static_cast<long>(seconds + 0.5);
    if (s < 60)
        std::snprintf(text, sizeof text, "%ld s", s);
    else if (s < 3600)
        std::snprintf(text, sizeof text, "%ld min %ld s", s / 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %ld min", s / 3600, s / 60 % 60);
    return text;
}

// Splits console text into whole lines for `line`, keeping the rest for later.
template <class F> void whole_lines(std::string *pending, const std::string &text, F line)
{
    *pending += text;
    for (size_t end; (end = pending->find('\n')) != std::string::npos;) {
        line(pending->substr(0, end + 1));
        pending->erase(0, end + 1);
    }
}

}  // namespace

std::string time_taken_and_left(std::chrono::steady_clock::time_point start, double done, double total)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char text[64];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    // The first unit's pace says little about the rest when it is all there is.
    if (!(done > 0 && done < total))
        return text;
    return text + (", about " + duration(seconds * (total - done) / done) + " left");
}

void draw_count(const char *title, size_t done, size_t total, const char *what,
                std::chrono::steady_clock::time_point start)
{
    std::fprintf(stderr, "\r\033[K%s: %zu of %zu %s, %s", title, done, total, what,
                 time_taken_and_left(start, static_cast<double>(done), static_cast<double>(total)).c_str());
    if (done == total)
        std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

InterruptGuard::InterruptGuard(const char *message) { set_stop_message(message); }

InterruptGuard::~InterruptGuard() { end(); }

void InterruptGuard::end() { set_stop_message(nullptr); }

TrainingMonitor::TrainingMonitor(long verbose, const std::string &title)
    : verbose_(verbose), title_(title), live_(stderr_is_terminal() && verbose <= 1),
      start_(std::chrono::steady_clock::now()), drawn_(start_)
{
    minihost::set_console_listener(receive, this);
    if (live_)
        draw();
}

TrainingMonitor::~TrainingMonitor()
{
    minihost::set_console_listener(nullptr, nullptr);
    if (live_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

void TrainingMonitor::receive(const std::string &text, void *self)
{
    TrainingMonitor &m = *static_cast<TrainingMonitor *>(self);
    whole_lines(&m.pending_, text, [&m](const std::string &l) { m.line(l); });
}

void TrainingMonitor::line(const std::string &text)
{
    int number = 0, made = 0, updates = 0, count = 0;
    // Printed once a presentation, at oflag 2 and 3 respectively.
    const bool each = std::sscanf(text.c_str(), "List presentation #%d: %d new nodes created, %d node updates",
                                  &number, &made, &updates) == 3 ||
                      std::sscanf(text.c_str(), "   Summary: %d new nodes created, %d node updates", &made,
                                  &updates) == 2;
    if (each) {
        ++presentation_;
        nodes_ += made;
        last_new_ = made;
        last_updates_ = updates;
    }
    if (text.find("\nQuorv training ") == 0 || text.rfind("Quorv training ", 0) == 0)
        in_summary_ = true;
    if (text.find(" inactive node") != std::string::npos && std::sscanf(text.c_str(), "%d", &count) == 1) {
        inactive_ = count;
        trimmed_ = text.find("trimmed") != std::string::npos;
    }
    const bool shown = verbose_ >= 2 || (verbose_ == 1 && !each && (in_summary_ || text == "\n"));
    if (shown) {
        if (live_)
            std::fputs("\r\033[K", stderr);
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    if (live_ && each) {
        const auto now = std::chrono::steady_clock::now();
        if (now - drawn_ > std::chrono::milliseconds(100)) {  // a terminal cannot show more
            drawn_ = now;
            draw();
        }
    }
}

void TrainingMonitor::draw()
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (presentation_ == 0)
        std::fprintf(stderr, "\r\033[K%s: presentation 1 ...", title_.c_str());
    else
        std::fprintf(stderr, "\r\033[K%s: presentation %ld: %ld nodes, %ld new and %ld updated in the last, %.1f s",
                     title_.c_str(), presentation_, nodes_, last_new_, last_updates_, seconds);
    std::fflush(stderr);
}

std::string TrainingMonitor::summary(double list_presentations, size_t nodes, long max_presentations)
{
    const long p = static_cast<long>(list_presentations);
    // The converging presentation changes nothing and is not counted.
    const bool converged = last_new_ == 0 && last_updates_ == 0 ? true : p < max_presentations;
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count());
    char text[256];
    std::snprintf(text, sizeof text, "%s after %ld presentation%s: %zu node%s", converged ? "converged" : "stopped",
                  p, p == 1 ? "" : "s", nodes, nodes == 1 ? "" : "s");
    std::string out = text;
    if (inactive_ >= 0) {
        std::snprintf(text, sizeof text, trimmed_ ? " (%ld inactive trimmed)" : " (%ld inactive)", inactive_);
        out += text;
    }
    if (!converged)
        out += ", not converged (more --max-presentations may help)";
    std::snprintf(text, sizeof text, ", %ld ms", ms);
    return out + text;
}

ClassifyProgress::ClassifyProgress(long verbose, bool wanted, size_t members, size_t rows)
    : verbose_(verbose), live_(wanted && verbose >= 0 && verbose <= 1 && stderr_is_terminal()),
      total_(static_cast<double>(members) * static_cast<double>(rows)), start_(std::chrono::steady_clock::now()),
      last_(start_)
{
}

ClassifyProgress::~ClassifyProgress()
{
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

front::Console ClassifyProgress::call(bool nearest_pass)
{
    if (!nearest_)
        done_ += static_cast<double>(call_done_);  // the call before, now over
    nearest_ = nearest_pass;
    call_done_ = 0;
    in_summary_ = blank_before_ = false;
    pending_.clear();
    front::Console c;
    if (live_) {
        c.listener = receive;
        c.context = this;
    }
    return c;
}

void ClassifyProgress::receive(const std::string &text, void *self)
{
    ClassifyProgress &m = *static_cast<ClassifyProgress *>(self);
    whole_lines(&m.pending_, text, [&m](const std::string &l) { m.line(l); });
}

void ClassifyProgress::line(const std::string &text)
{
    if (text.rfind("   Pattern #", 0) == 0) {
        ++call_done_;
        const auto now = std::chrono::steady_clock::now();
        // Quick jobs draw nothing; then no more often than a terminal can show.
        if (now - start_ < std::chrono::milliseconds(500) || now - last_ < std::chrono::milliseconds(100))
            return;
        last_ = now;
        drawn_ = true;
        // A nearest-box call's patterns were counted by the call before it.
        const double done = done_ + (nearest_ ? 0.0 : static_cast<double>(call_done_));
        std::fprintf(stderr, "\r\033[Kclassify: %.0f of %.0f patterns, %s", done, total_,
                     time_taken_and_left(start_, done, total_).c_str());
        std::fflush(stderr);
        return;
    }
    // At oflag 1 the summary alone is printed, after its blank line.
    const bool blank = !in_summary_ && text == "\n";
    if (text.rfind("Quorv performance phase summary", 0) == 0) {
        in_summary_ = true;
        if (blank_before_)
            show("\n");
    }
    blank_before_ = blank;
    if (in_summary_)
        show(text);
}

void ClassifyProgress::show(const std::string &text)
{
    if (verbose_ < 1)
        return;
    if (drawn_)
        std::fputs("\r\033[K", stderr);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace cli
