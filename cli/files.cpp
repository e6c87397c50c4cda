// File input and output.
#include "files.h"

#include "error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cli {

std::string read_file(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    const int failed = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (failed)
        throw Error("cannot read " + path + ": " + std::strerror(failed));
    return text;
}

void write_file_atomically(const std::string &path, const std::string &content)
{
    const auto fail = [&path](int error) { return Error("cannot write " + path + ": " + std::strerror(error)); };
    if (path.empty())
        throw Error("cannot write an output file with an empty name");
    struct stat target;
    if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
        throw fail(EISDIR);

    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = dir + "." + base + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        throw fail(errno);

    // mkstemp makes the file private; give it the mode a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    int error = 0;
    if (fchmod(fd, 0666 & ~mask) != 0)
        error = errno;
    for (size_t done = 0; !error && done < content.size();) {
        const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
        if (wrote < 0 && errno != EINTR)
            error = errno;
        else if (wrote > 0)
            done += static_cast<size_t>(wrote);
    }
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error && std::rename(name.data(), path.c_str()) != 0)
        error = errno;
    if (error) {
        unlink(name.data());
        throw fail(error);
    }
}

}  // namespace cli
