// The embedded host's own interface (minihost.h): the call that runs a
// plug-in's gateway and cleans up after it, the console settings and the test
// hooks. After a call nothing it made is left: arrays not returned and blocks
// not freed are released, and no output slot holds an array the caller does
// not own.
#include "host_state.h"

#include <cstdlib>
#include <exception>
#include <limits>
#include <utility>

namespace minihost {

using namespace host;

// ---- the call ----

CallResult Plugin::call(int nlhs, const std::vector<const mxArray *> &inputs) {
    CallResult r;
    State &s = state();
    if (s.call) {
        r.error = "plug-in calls cannot nest";
        return r;
    }
    if (nlhs < 0 || inputs.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        r.error = "invalid number of arguments";
        return r;
    }
    // Room for at least one output, as the answer variable always has a slot.
    std::vector<mxArray *> plhs(static_cast<size_t>(nlhs > 0 ? nlhs : 1), nullptr);
    std::vector<const mxArray *> prhs(inputs);
    CallContext ctx;
    s.call = &ctx;
    try {
        entry_(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
        r.ok = true;
    } catch (const HostError &e) {
        r.error = e.message;
    } catch (const std::exception &e) {
        r.error = std::string("unexpected C++ exception from plug-in: ") + e.what();
    } catch (...) {
        r.error = "unexpected C++ exception from plug-in: not a std::exception";
    }
    s.call = nullptr;

    const size_t nout = nlhs > 0 ? static_cast<size_t>(nlhs) : (plhs[0] ? 1 : 0);
    for (size_t i = 0; i < nout; ++i) {
        mxArray *p = plhs[i];
        if (!p) {
            r.outputs.emplace_back();
        } else if (ctx.arrays.erase(p)) {
            r.outputs.emplace_back(p);
        } else if (s.arrays.count(p)) {
            // An input, or an array already returned in another slot: the
            // caller gets its own copy, as a real host shares and copies on write.
            r.outputs.push_back(duplicate(p));
        } else {
            fault();
            r.outputs.emplace_back();
            if (r.ok) {
                r.ok = false;
                r.error = "plug-in returned an invalid array in output " + std::to_string(i + 1);
            }
        }
    }
    for (mxArray *a : ctx.arrays) delete_array(a);
    s.blocks.end_call();
    r.console = std::move(ctx.console);
    return r;
}

// ---- console, flops, test hooks ----

void set_console_echo(bool on) { state().echo = on; }
void set_console_listener(void (*listener)(const std::string &text, void *context), void *context) {
    state().listener = listener;
    state().listener_context = context;
}
double flops() { return state().flops; }
void reset_flops() { state().flops = 0; }

void fail_allocation(long k) { state().fail_countdown = k > 0 ? k : 0; }
long allocation_count() { return state().allocations; }
void reset_allocation_count() { state().allocations = 0; }
long live_blocks() { return static_cast<long>(state().blocks.live()); }
long live_arrays() { return static_cast<long>(state().arrays.size()); }

void release_blocks() {
    State &s = state();
    s.blocks.release_all(s.call != nullptr);
}

long host_faults() { return state().faults; }
void reset_host_faults() { state().faults = 0; }
void set_load_hook(void (*hook)(const std::string &path, void *context), void *context) {
    state().load_hook = hook;
    state().load_hook_context = context;
}

}  // namespace minihost
