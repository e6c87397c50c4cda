// The embedded host's own interface: load a plug-in, call it, read what it
// printed and what it left allocated. Tests, the benchmark and the command-line
// tool use this; plug-ins never see it (they only see mex.h).
#ifndef QUORV_MINIHOST_H
#define QUORV_MINIHOST_H

#include "mex.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace minihost {

// Owning handle for a host array made by the host program (inputs, outputs).
struct ArrayDeleter {
    void operator()(mxArray *a) const { mxDestroyArray(a); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// Arrays of any shape and class, as a real user could pass them. Data is given
// column-major; real and imaginary parts are converted to the array's class.
Array make_double(size_t rows, size_t cols, const std::vector<double> &column_major = {});
Array make_row_major(size_t rows, size_t cols, const std::vector<double> &row_major);
Array make_scalar(double value);
Array make_array(const std::vector<size_t> &dims, mxClassID cls, bool complex = false,
                 const std::vector<double> &real = {}, const std::vector<double> &imag = {});
Array make_sparse(size_t rows, size_t cols);  // an all-zero sparse double matrix
Array make_char(const std::string &text);     // a 1-by-n char row
Array make_cell(size_t rows, size_t cols);    // empty cells
Array make_struct(size_t rows, size_t cols);  // no fields
Array duplicate(const mxArray *a);

// Reading results: element i of the array's data, column-major, as a double.
std::vector<double> values(const mxArray *a);
std::vector<size_t> dims(const mxArray *a);

struct CallResult {
    bool ok = false;            // false when the call ended through mexErrMsgTxt
    std::string error;          // the error text, when !ok
    std::string console;        // everything printed (mexPrintf and warnings), in order
    std::vector<Array> outputs; // nlhs slots; empty handles where the plug-in wrote none
};

class Plugin {
public:
    // Loads the plug-in at `path`; on failure returns null and sets *error to a
    // one-line reason (file missing, no version stamp, bytes not those of the
    // digest recorded beside it, no mexFunction, ...). A non-empty `name`
    // (quorv_train, quorv_perf) must be the name its version stamp gives.
    static std::unique_ptr<Plugin> load(const std::string &path, std::string *error,
                                        const std::string &name = std::string());
    ~Plugin();  // unloads ("clear"): a fresh load starts its state anew

    // Whether `path` still names the file loaded (same file, size and
    // modification time), so that a host may keep the plug-in loaded.
    bool unchanged() const;

    // Calls mexFunction with the inputs and nlhs output slots. Blocks the
    // plug-in left allocated and arrays it made but did not return are
    // released when the call ends, as real hosts do.
    CallResult call(int nlhs, const std::vector<const mxArray *> &inputs);

    const std::string &path() const { return path_; }

    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

private:
    Plugin() = default;
    void *handle_ = nullptr;
    void (*entry_)(int, mxArray **, int, const mxArray **) = nullptr;
    std::string path_;
    struct Identity {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t modified_ns = 0;
        bool operator==(const Identity &o) const {
            return device == o.device && inode == o.inode && size == o.size && modified_ns == o.modified_ns;
        }
    } identity_;
};

// Console: by default captured into CallResult::console only; when echo is on,
// also written to stdout as it is printed.
void set_console_echo(bool on);
// When set, console text printed during a call goes to `listener` (in the
// pieces the plug-in printed) instead of the echo; null turns it off.
void set_console_listener(void (*listener)(const std::string &text, void *context), void *context);

// The host's flop counter, as the old `flops` command: read and reset.
double flops();
void reset_flops();

// Test hooks. fail_allocation(k): the k-th host allocation from now on
// (mxCalloc, mxRealloc, array creation; counted from 1) answers null; 0 turns
// it off. allocation_count(): host allocations made since the last reset.
void fail_allocation(long k);
long allocation_count();
void reset_allocation_count();
// Host blocks (mxCalloc/mxRealloc) and host-made arrays currently alive.
long live_blocks();
long live_arrays();
// Releases every block made outside a call (tests that call converters directly).
void release_blocks();
// Misuse the host survived instead of crashing (freeing a block it never gave,
// destroying an array the plug-in does not own, returning a dead array, ...).
long host_faults();
void reset_host_faults();
// Called by Plugin::load with the plug-in's path once every check of its file
// has passed, right before the load itself (a test swaps the file there);
// null turns it off.
void set_load_hook(void (*hook)(const std::string &path, void *context), void *context);

}  // namespace minihost

#endif
