// A main() for fuzz targets without libFuzzer: runs LLVMFuzzerTestOneInput
// once over each file named on the command line, and over every regular file
// of each directory named. A target reports a fault by stopping the process
// (abort or a sanitizer report), so reaching the end means every input passed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void run_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exact-size heap block, so that a read past the end is caught.
    std::vector<uint8_t> exact(bytes);
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
}

}  // namespace

int main(int argc, char **argv)
{
    size_t runs = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    run_file(entry.path());
                    runs++;
                }
            }
        } else if (std::filesystem::is_regular_file(arg, ec)) {
            run_file(arg);
            runs++;
        } else {
            fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 1;
        }
    }
    printf("%zu inputs passed\n", runs);
    return runs > 0 ? 0 : 1;
}
