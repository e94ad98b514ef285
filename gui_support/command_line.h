// Support for console programs: printf-style formatting into strings, error
// lines on standard error, and a base class that recognises one option of a
// small table and prints the usage text.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/printf_format.h"

namespace GuiSupport::CliSupport {

// printf-style formatting into a string of exactly the needed length. Throws
// std::runtime_error("vsnprintf() failed") when the formatter fails.
std::string format(const char* fmt, ...) PLAT_PRINTF_FORMAT(1, 2);
std::string vformat(const char* fmt, va_list args) PLAT_PRINTF_FORMAT(1, 0);

// format, then one line feed, written to standard error in one piece.
void printErr(const char* fmt, ...) PLAT_PRINTF_FORMAT(1, 2);

class CommandLine {
public:
    struct Option {
        char letter = ' ';
        std::string longName;
        std::string description;
        int32_t value = 0;
    };

    // What parse recognised: the option's letter and the values after it.
    struct Command {
        char letter = ' ';
        std::vector<std::string> values;
    };

    CommandLine(std::string name, std::string version);
    virtual ~CommandLine() = default;

    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // Adds or replaces the option with that letter. A full table (20 options)
    // refuses every addition, even one that would only replace an option.
    bool addOption(char letter, std::string longName, std::string description, int value);

    // Recognises the option in argv[1] ("-x" by its letter, "--name" by its
    // long name) and collects the arguments after it up to the next one that
    // begins with the prefix. On failure out is left as it was.
    bool parse(int argc, char** argv, Command& out);

    // The usage text on standard error: name and version, then every option
    // in letter order.
    void printUsage();

    // The console loop of a derived program. This base body only waits, in
    // steps of ms milliseconds, and never returns.
    virtual void run(int ms);

protected:
    char prefix = '-';
    int32_t maxOptions = 20;
    std::string name;
    std::string version;
    std::map<char, Option> options;

private:
    bool matchLongOption(const char* argument, char& letter) const;
};

}  // namespace GuiSupport::CliSupport
