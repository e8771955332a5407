#include "QrSupport.hpp"

#include "common/Subprocess.hpp"

#include <fstream>

namespace torvane::test {

void writePgm(const std::filesystem::path& path, const GrayImage& picture) {
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << picture.width << ' ' << picture.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(picture.pixels.data()),
              static_cast<std::streamsize>(picture.pixels.size()));
}

std::optional<std::string> decodeQr(const std::filesystem::path& picture) {
    const SubprocessResult run = runSubprocess(ZBARIMG_PATH, {"--raw", "-q", picture.string()},
                                               {.timeLimit = std::chrono::seconds(30)});
    if (!run.ok() || run.out.empty() || run.out.back() != '\n')
        return std::nullopt;
    // --raw ends the symbol's text with a line feed of its own.
    return run.out.substr(0, run.out.size() - 1);
}

} // namespace torvane::test
