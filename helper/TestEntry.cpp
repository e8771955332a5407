#include "helper/Helper.hpp"
#include "helper/LogindSleepControl.hpp"
#include "helper/PmsetSleepControl.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

// The daemon as installed, but with its directory, sleep control and stale limit given on the command
// line, so that tests can run the real process without touching system paths. Never installed.
// TORVANE_WALL_OFFSET_FILE, when set, names a file whose number of seconds is added to the wall clock.
int main(int argc, char** argv) {
    using namespace torvane::helper;
    const auto usage = [&] {
        std::fprintf(stderr, "usage: %s DIRECTORY STALE_SECONDS (pmset EXECUTABLE | logind)\n", argv[0]);
        return 2;
    };
    if (argc < 4)
        return usage();

    const std::string directory = argv[1];
    char* end = nullptr;
    const double staleSeconds = std::strtod(argv[2], &end);
    if (end == argv[2] || *end != '\0' || !(staleSeconds >= 0))
        return usage();

    std::unique_ptr<SleepControl> sleep;
    const std::string_view choice = argv[3];
    if (choice == "pmset" && argc == 5)
        sleep = std::make_unique<PmsetSleepControl>(argv[4]);
    else if (choice == "logind" && argc == 4)
        sleep = std::make_unique<LogindSleepControl>();
    else
        return usage();

    // Tests step the daemon's wall clock by writing a number of seconds into this file.
    torvane::WallClock wall = torvane::systemNow;
    if (const char* offsetFile = std::getenv("TORVANE_WALL_OFFSET_FILE"))
        wall = [path = std::string(offsetFile)] {
            double offset = 0;
            if (std::FILE* f = std::fopen(path.c_str(), "r")) {
                if (std::fscanf(f, "%lf", &offset) != 1)
                    offset = 0;
                std::fclose(f);
            }
            return torvane::systemNow() + std::chrono::duration_cast<torvane::SystemTime::duration>(
                                              std::chrono::duration<double>(offset));
        };
    Helper helper(RequestFiles(directory, wall, staleSeconds), *sleep);
    return helper.run();
}
