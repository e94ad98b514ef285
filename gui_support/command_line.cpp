#include "gui_support/command_line.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "runtime/console_output.h"

namespace GuiSupport::CliSupport {

std::string vformat(const char* fmt, va_list args) {
    // The arguments are walked twice: once to measure, once to write.
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (length < 0) throw std::runtime_error("vsnprintf() failed");
    std::string text(static_cast<size_t>(length), '\0');
    // The string owns length + 1 bytes, its terminator included.
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text;
    try {
        text = vformat(fmt, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return text;
}

void printErr(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string line;
    try {
        line = vformat(fmt, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    line += '\n';
    // One write per line, so that lines from several threads do not
    // interleave; never dropped, and never waited for by the thread that
    // prints it (see runtime/console_output.h).
    CONSOLE_write(CONSOLE_stream::Error, line, CONSOLE_text::Keep);
}

CommandLine::CommandLine(std::string name, std::string version)
    : name(std::move(name)), version(std::move(version)) {}

bool CommandLine::addOption(char letter, std::string longName, std::string description, int value) {
    if (options.size() >= static_cast<size_t>(maxOptions)) {
        printErr("Failed to add more option! The maximum amount (%d) of OPT table has reached", maxOptions);
        return false;
    }
    options[letter] = Option{letter, std::move(longName), std::move(description), value};
    return true;
}

bool CommandLine::matchLongOption(const char* argument, char& letter) const {
    const size_t length = std::strlen(argument);
    if (length <= 2 || argument[0] != prefix || argument[1] != prefix) return false;
    const std::string_view wanted(argument + 2, length - 2);
    for (const auto& [key, option] : options) {
        if (option.longName == wanted) {
            letter = key;
            return true;
        }
    }
    return false;
}

bool CommandLine::parse(int argc, char** argv, Command& out) {
    // Only argv[1] can name the option; without it there is nothing to read
    // (argv[1] of a list with fewer than two arguments is not ours to touch).
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) return false;
    const char* first = argv[1];
    char letter = ' ';
    const bool shortForm = first[0] == prefix && first[1] != '\0' &&
                           std::isalpha(static_cast<unsigned char>(first[1])) && options.count(first[1]) != 0;
    if (shortForm) {
        letter = first[1];
    } else if (!matchLongOption(first, letter)) {
        return false;
    }
    std::vector<std::string> values;
    for (int at = 2; at < argc && argv[at] != nullptr && argv[at][0] != prefix; ++at) {
        values.emplace_back(argv[at]);
    }
    out.letter = letter;
    out.values = std::move(values);
    return true;
}

void CommandLine::printUsage() {
    printErr("%s %s", name.c_str(), version.c_str());
    printErr("Usage:\n");
    for (const auto& [letter, option] : options) {
        char entry[128];
        const int length = std::snprintf(entry, sizeof entry, "-%c, --%s \n  %s", letter, option.longName.c_str(),
                                         option.description.c_str());
        if (length <= 0) throw std::runtime_error("Error during string formatting.");
        printErr("%s", entry);
    }
}

void CommandLine::run(int ms) {
    const auto step = std::chrono::milliseconds(ms > 0 ? ms : 0);
    for (;;) std::this_thread::sleep_for(step);
}

}  // namespace GuiSupport::CliSupport
