// Runs a fuzz target over files without libFuzzer: every file named on the command line, and every
// file inside a named folder, is fed once to LLVMFuzzerTestOneInput. Used by the test suite to
// replay the seeds and the regression inputs with any compiler, and by hand to time single inputs
// (-v prints each file's size and decode time).
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void CollectFiles(const std::string& path, std::vector<std::string>* files) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        fprintf(stderr, "fuzz_main: cannot find %s\n", path.c_str());
        return;
    }
    if (!S_ISDIR(status.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR* directory = opendir(path.c_str());
    if (!directory) return;
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;  // also README-style dot files
        names.push_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) CollectFiles(path + "/" + name, files);
}

static bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    bytes->clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    fclose(file);
    return true;
}

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    bool verbose = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-v") == 0) {
            verbose = true;
            continue;
        }
        if (argv[i][0] == '-') continue;  // libFuzzer flags are accepted and ignored
        CollectFiles(argv[i], &files);
    }
    int failures = 0;
    double slowest = 0;
    std::string slowestName;
    for (const std::string& path : files) {
        std::vector<uint8_t> bytes;
        if (!ReadWholeFile(path, &bytes)) {
            fprintf(stderr, "fuzz_main: cannot read %s\n", path.c_str());
            failures++;
            continue;
        }
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        clock_gettime(CLOCK_MONOTONIC, &end);
        double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
        if (seconds > slowest) {
            slowest = seconds;
            slowestName = path;
        }
        if (verbose) printf("%10zu bytes %10.6f s  %s\n", bytes.size(), seconds, path.c_str());
    }
    printf("fuzz_main: %zu inputs run, slowest %.6f s (%s)\n", files.size() - failures, slowest,
           slowestName.c_str());
    return failures == 0 && !files.empty() ? 0 : 1;
}
