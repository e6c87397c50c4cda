// A plug-in file swapped between the loader's checks and the load itself
// (through the loader's test hook, which runs right there): the module
// loaded is always the file checked. On Windows the loader holds the file so
// that it can be neither written, nor renamed over, nor deleted meanwhile;
// on Linux its path can be made to name another file, and its bytes can be
// written over in place, but the load still takes the bytes checked.
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// Each tries to make the plug-in's path name perf's bytes instead of
// train's, and answers whether the system let it.
bool write_over(const fs::path &plugin, const fs::path &other)
{
    std::ifstream in(other, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::fstream out(plugin, std::ios::in | std::ios::out | std::ios::binary);
    return out && out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && out.flush();
}
// Every byte turned into a breakpoint instruction, the file's size and inode kept.
bool trap_everywhere(const fs::path &plugin, const fs::path &)
{
    const std::string traps(static_cast<size_t>(fs::file_size(plugin)), '\xCC');
    std::fstream out(plugin, std::ios::in | std::ios::out | std::ios::binary);
    return out && out.write(traps.data(), static_cast<std::streamsize>(traps.size())) && out.flush();
}
bool rename_over(const fs::path &plugin, const fs::path &other)
{
    std::error_code e;
    fs::rename(other, plugin, e);
    return !e;
}
bool delete_it(const fs::path &plugin, const fs::path &)
{
    std::error_code e;
    return fs::remove(plugin, e) && !e;
}

struct Swap {
    bool (*attempt)(const fs::path &plugin, const fs::path &other);
    fs::path other;
    int tries = 0;
    bool allowed = false;
};

void swap_now(const std::string &path, void *context)
{
    auto *swap = static_cast<Swap *>(context);
    ++swap->tries;
    swap->allowed = swap->attempt(path, swap->other);
}

// A copy of train (digest beside it) and of perf in a fresh folder, with
// libmex.dll on Windows, which a plug-in finds only beside itself.
class LoaderSwap : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() / ("quorv_swap_" + std::string(test->name()));
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    void TearDown() override
    {
        minihost::set_load_hook(nullptr, nullptr);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // The k-th fresh folder of the test.
    void fresh(int k)
    {
        dir = root / std::to_string(k);
        fs::create_directories(dir);
        const fs::path built = QUORV_TRAIN_PLUGIN;
        plugin = dir / built.filename();
        fs::copy_file(built, plugin);
        fs::copy_file(built.string() + ".sha256", plugin.string() + ".sha256");
        fs::copy_file(QUORV_PERF_PLUGIN, dir / "other");
        if (fs::exists(built.parent_path() / "libmex.dll"))
            fs::copy_file(built.parent_path() / "libmex.dll", dir / "libmex.dll");
    }

    // Loads the copy of train with `attempt` made between the checks and the
    // load: the plug-in loaded must be train, which wants 9 inputs.
    bool load_while(bool (*attempt)(const fs::path &, const fs::path &))
    {
        Swap swap{attempt, dir / "other"};
        minihost::set_load_hook(swap_now, &swap);
        std::string error;
        auto loaded = minihost::Plugin::load(plugin.string(), &error);
        minihost::set_load_hook(nullptr, nullptr);
        EXPECT_EQ(swap.tries, 1);
        EXPECT_NE(loaded, nullptr) << error;
        if (loaded) {
            const minihost::CallResult r = loaded->call(0, {});
            EXPECT_NE(r.error.find(" 9 input arguments"), std::string::npos) << r.error;
        }
        return swap.allowed;
    }

    fs::path root, dir, plugin;
};

TEST_F(LoaderSwap, TheFileCheckedIsTheFileLoaded)
{
    const struct {
        const char *what;
        bool (*attempt)(const fs::path &, const fs::path &);
    } swaps[] = {{"another file renamed over it", rename_over}, {"deleted", delete_it}};
    for (const auto &s : swaps) {
        fresh(static_cast<int>(&s - swaps));
        const bool allowed = load_while(s.attempt);
#ifdef _WIN32
        EXPECT_FALSE(allowed) << s.what << ": the held file was changed under the loader";
#else
        EXPECT_TRUE(allowed) << s.what << ": nothing stops this here, and yet the checked file must be loaded";
#endif
    }
}

TEST_F(LoaderSwap, TheFileWrittenInPlaceIsNotWhatIsLoaded)
{
    const struct {
        const char *what;
        bool (*attempt)(const fs::path &, const fs::path &);
    } writes[] = {{"another plug-in's bytes written over it", write_over},
                  {"every byte made a breakpoint", trap_everywhere}};
    for (const auto &w : writes) {
        fresh(static_cast<int>(&w - writes));
        const bool allowed = load_while(w.attempt);
#ifdef _WIN32
        EXPECT_FALSE(allowed) << w.what << ": the held file was written under the loader";
        EXPECT_EQ(fs::file_size(plugin), fs::file_size(QUORV_TRAIN_PLUGIN)) << w.what;
#else
        EXPECT_TRUE(allowed) << w.what << ": a writer with permission may do this, and yet the bytes checked must be "
                                          "the bytes loaded";
#endif
    }
}

}  // namespace
