// The transcript as the embedded host writes it, for hosts to compare with.
#include "strict_host/transcript.h"

#include <cstdio>
#include <exception>

int main()
{
    try {
        const std::string text = qt::transcript();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "host_transcript: %s\n", e.what());
        return 1;
    }
}
