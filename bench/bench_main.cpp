// The benchmarks' start. Whatever a benchmark runs may log, and its log must
// land neither in the user's own application-data folder nor on standard
// output, which carries Google Benchmark's report (JSON for bench/compare.py):
//  - before anything can log, the application-data folder moves to a
//    temporary folder of the process's own, which goes away with it;
//  - standard output's descriptor then writes to a file in that folder, since
//    the logger names its log file on the console whatever its console
//    switch says; the report goes to where standard output went before.
#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/tests/child_process.h"
#include "platform/tests/temp_folder.h"

namespace {

// std::cout writes to the report's descriptor for as long as it lives.
class ReportStream {
public:
    explicit ReportStream(int descriptor) : buffer_(descriptor, std::ios::out), previous_(std::cout.rdbuf(&buffer_)) {}
    ~ReportStream() {
        std::cout.flush();
        std::cout.rdbuf(previous_);
    }
    ReportStream(const ReportStream&) = delete;
    ReportStream& operator=(const ReportStream&) = delete;

private:
    __gnu_cxx::stdio_filebuf<char> buffer_;
    std::streambuf* const previous_;
};

}  // namespace

int main(int argc, char** argv) {
    std::optional<zarn::testing::TempFolder> made;
    try {
        made.emplace("zarn-bench");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zarn_bench: %s: nothing may log, so nothing runs\n", error.what());
        return 1;
    }
    const zarn::testing::TempFolder& home = *made;
    zarn::testing::setEnvironment("XDG_DATA_HOME", home.path().c_str());

    std::fflush(stdout);
    const int report = ::dup(STDOUT_FILENO);
    const std::string consoleFile = (home.path() / "console.txt").string();
    const int console = ::open(consoleFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (report < 0 || console < 0 || ::dup2(console, STDOUT_FILENO) < 0) {
        std::perror("zarn_bench: standard output cannot be moved aside");
        return 1;
    }
    ::close(console);
    const ReportStream reportStream(report);

    // Google Benchmark colours a terminal it finds on standard output: it
    // looks there, so a terminal behind the report is named to it.
    std::vector<char*> arguments(argv, argv + argc);
    bool colourGiven = false;
    for (char* argument : arguments) colourGiven |= std::strncmp(argument, "--benchmark_color", 17) == 0;
    char colour[] = "--benchmark_color=true";
    if (!colourGiven && ::isatty(report) != 0) arguments.insert(arguments.begin() + 1, colour);
    int count = static_cast<int>(arguments.size());

    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
