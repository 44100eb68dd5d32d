// Runs a fuzz target's entry point over stored inputs, without libFuzzer:
// the normal test build replays each target's seed corpus and every past
// finding (fuzz/regress/<target>/) this way. Arguments are files or
// directories; a directory given with a leading '+' must exist and hold at
// least one input, one without may be absent.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> inputs_in(const std::string& path) {
    std::vector<std::string> files;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return files;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return files;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return files;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const bool required = !arg.empty() && arg[0] == '+';
        if (required) arg.erase(0, 1);
        const std::vector<std::string> files = inputs_in(arg);
        if (required && files.empty()) {
            fprintf(stderr, "no inputs in %s\n", arg.c_str());
            return 1;
        }
        for (const std::string& f : files) {
            std::ifstream in(f, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
            if (!in.eof() && in.fail()) {
                fprintf(stderr, "cannot read %s\n", f.c_str());
                return 1;
            }
            fprintf(stderr, "%s\n", f.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            replayed++;
        }
    }
    fprintf(stderr, "replayed %zu inputs\n", replayed);
    return 0;
}
