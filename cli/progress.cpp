// Training progress and the tool's own training summary.
#include "progress.h"

#include "minihost.h"
#include "platform.h"
#include "signals.h"

#include <cstdio>
#include <cstring>

namespace cli {

bool stderr_is_terminal() { return isatty(2) == 1; }

void draw_count(const char *title, size_t done, size_t total, const char *what,
                std::chrono::steady_clock::time_point start)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "\r\033[K%s: %zu of %zu %s, %.1f s", title, done, total, what, seconds);
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
    m.pending_ += text;
    for (size_t end; (end = m.pending_.find('\n')) != std::string::npos;) {
        m.line(m.pending_.substr(0, end + 1));
        m.pending_.erase(0, end + 1);
    }
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

}  // namespace cli
