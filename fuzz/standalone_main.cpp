// Runs a fuzz target's LLVMFuzzerTestOneInput over the files named on the
// command line (a directory stands for every regular file in it, in name
// order), so the targets build and run as plain programs without libFuzzer.
// Exits 0 after running at least one input, 1 when there was none or a path
// could not be read; a target that finds a fault aborts on its own.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

bool run_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t ran = 0;
    bool ok = true;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            std::vector<std::filesystem::path> files;
            for (const auto &entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
            for (const auto &f : files) {
                ok = run_file(f) && ok;
                ran++;
            }
        } else {
            ok = run_file(arg) && ok;
            ran++;
        }
    }
    fprintf(stderr, "%zu inputs run\n", ran);
    return ok && ran > 0 ? 0 : 1;
}
