// Runs a fuzz target once over every file of a corpus directory: the normal build's regression test.
#include <dirent.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argc > 0 ? argv[0] : "corpus");
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", dir.c_str());
        return 1;
    }
    while (const dirent *entry = ::readdir(d)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        std::fprintf(stderr, "%s holds no inputs\n", dir.c_str());
        return 1;
    }
    for (const std::string &name : names) {
        std::ifstream file(dir + "/" + name, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s/%s\n", dir.c_str(), name.c_str());
            return 1;
        }
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // A violated property aborts inside the call, naming the check.
        (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs of %s passed\n", names.size(), dir.c_str());
    return 0;
}
