// A main() for the fuzz targets where libFuzzer is not at hand (g++, or a
// plain test build): runs the target once on every input named on the
// command line, in a fixed order, and says how many ran. A directory stands
// for every regular file directly in it, sorted by name. Arguments that
// start with "-" are libFuzzer's flags and are skipped, so the same command
// line replays a corpus with either build.
//
// Each input is copied into a buffer of exactly its size, as libFuzzer
// does, so that a sanitizer catches a read past its end. A failed check
// aborts, which fails the run; a path that cannot be read fails it too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// The files an argument names; false when it names nothing readable.
bool collect(const fs::path& path, std::vector<fs::path>& files) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::vector<fs::path> found;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec)) found.push_back(it->path());
        if (ec) return false;
        std::sort(found.begin(), found.end(),
                  [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
        files.insert(files.end(), found.begin(), found.end());
        return true;
    }
    if (!fs::is_regular_file(path, ec)) return false;
    files.push_back(path);
    return true;
}

bool read_file(const fs::path& path, std::vector<char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("-")) continue;
        named = true;
        if (!collect(arg, files)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], arg.c_str());
            return 1;
        }
    }
    if (!named) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }

    size_t ran = 0;
    std::vector<char> bytes;
    for (const fs::path& file : files) {
        if (!read_file(file, bytes)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
            return 1;
        }
        // Named before it runs, so that a failing input is the last one shown.
        std::fprintf(stderr, "Running: %s\n", file.c_str());
        std::fflush(stderr);
        const std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), input.get());
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
        ++ran;
    }
    std::printf("%s: ran %zu inputs\n", argv[0], ran);
    return 0;
}
