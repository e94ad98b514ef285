#include "gui_support/command_line.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/tests/c_runtime.h"

namespace {

using GuiSupport::CliSupport::CommandLine;
using GuiSupport::CliSupport::format;
using GuiSupport::CliSupport::printErr;

// An argument list as a program receives it: argc strings and a null pointer.
class Args {
public:
    Args(std::initializer_list<const char*> args) : text_(args.begin(), args.end()) {
        for (std::string& arg : text_) pointers_.push_back(arg.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(text_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> text_;
    std::vector<char*> pointers_;
};

// The updater's command line: options u and i.
class UpdaterOptions : public CommandLine {
public:
    UpdaterOptions() : CommandLine("ZarnFirmwareUpdater", "1.0.0") {
        addOption('u', "upgrade", "Upgrade the sensor", 0);
        addOption('i', "deviceInfo", "Get Device Info", 0);
    }
    size_t optionCount() const { return options.size(); }
    const Option& option(char letter) const { return options.at(letter); }
};

CommandLine::Command parseOrFail(UpdaterOptions& cli, Args args) {
    CommandLine::Command command;
    EXPECT_TRUE(cli.parse(args.argc(), args.argv(), command));
    return command;
}

bool parses(UpdaterOptions& cli, Args args) {
    CommandLine::Command command;
    return cli.parse(args.argc(), args.argv(), command);
}

TEST(Format, FillsAStringOfExactlyTheNeededLength) {
    EXPECT_EQ("Latest firmware: 1.0.0", format("Latest firmware: %s", "1.0.0"));
    EXPECT_EQ("error 2 (PZStatus_Timeout)", format("error %d (%s)", 2, "PZStatus_Timeout"));
    EXPECT_EQ("", format("%s", ""));
    // Longer than any fixed buffer a formatter might start with.
    const std::string longText(5000, 'x');
    const std::string formatted = format("<%s>", longText.c_str());
    EXPECT_EQ(5002u, formatted.size());
    EXPECT_EQ('<' + longText + '>', formatted);
}

TEST(Format, FormatterFailureThrows) {
    // A wide string that is no valid character cannot be converted: where
    // the formatter reports that with a negative length, format throws;
    // where it writes nothing for it instead, the rest of the text stands.
    const wchar_t invalid[] = {static_cast<wchar_t>(0xD800), 0};
    if (!zarn::testing::kPrintfRefusesInvalidWideText) {
        EXPECT_EQ("<>", format("<%ls>", invalid));
        return;
    }
    try {
        format("%ls", invalid);
        FAIL() << "expected a throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("vsnprintf() failed", e.what());
    }
}

TEST(PrintErr, WritesTheFormattedLineAndALineFeedToStandardError) {
    testing::internal::CaptureStderr();
    printErr("Reinstall firmware %s", "1.0.0");
    printErr("%d%%", 42);
    EXPECT_EQ("Reinstall firmware 1.0.0\n42%\n", testing::internal::GetCapturedStderr());
}

TEST(CommandLineOptions, TwentyOptionsFitAndTheTwentyFirstIsRefusedWithAMessage) {
    UpdaterOptions cli;
    for (char letter = 'a'; letter < 'a' + 18; ++letter) {
        if (letter == 'i') continue;
        ASSERT_TRUE(cli.addOption(letter, std::string("opt-") + letter, "d", 0));
    }
    ASSERT_TRUE(cli.addOption('z', "zed", "d", 0));
    ASSERT_EQ(20u, cli.optionCount());

    testing::internal::CaptureStderr();
    EXPECT_FALSE(cli.addOption('Z', "capital", "d", 0));
    // A full table refuses even an option that would only replace one.
    EXPECT_FALSE(cli.addOption('u', "other", "other", 1));
    EXPECT_EQ(
        "Failed to add more option! The maximum amount (20) of OPT table has reached\n"
        "Failed to add more option! The maximum amount (20) of OPT table has reached\n",
        testing::internal::GetCapturedStderr());
    EXPECT_EQ(20u, cli.optionCount());
    EXPECT_EQ("upgrade", cli.option('u').longName);
    EXPECT_FALSE(parses(cli, {"prog", "-Z"}));
}

TEST(CommandLineOptions, AddingALetterAgainReplacesItsOption) {
    UpdaterOptions cli;
    EXPECT_TRUE(cli.addOption('u', "update", "Update it", 7));
    EXPECT_EQ(2u, cli.optionCount());
    EXPECT_EQ("update", cli.option('u').longName);
    EXPECT_EQ("Update it", cli.option('u').description);
    EXPECT_EQ(7, cli.option('u').value);
    EXPECT_EQ('u', parseOrFail(cli, {"prog", "--update"}).letter);
    EXPECT_FALSE(parses(cli, {"prog", "--upgrade"}));
}

TEST(CommandLineParse, ShortAndLongFormsSelectTheirOption) {
    UpdaterOptions cli;
    EXPECT_EQ('i', parseOrFail(cli, {"prog", "-i"}).letter);
    EXPECT_EQ('i', parseOrFail(cli, {"prog", "--deviceInfo"}).letter);
    EXPECT_EQ('u', parseOrFail(cli, {"prog", "-u"}).letter);
    EXPECT_EQ('u', parseOrFail(cli, {"prog", "--upgrade"}).letter);
    // Only the second character of a short form counts.
    EXPECT_EQ('u', parseOrFail(cli, {"prog", "-uxyz"}).letter);
}

TEST(CommandLineParse, UnknownOrMalformedFirstArgumentsFail) {
    UpdaterOptions cli;
    EXPECT_FALSE(parses(cli, {"prog", "--deviceinfo"}));  // names compare with case
    EXPECT_FALSE(parses(cli, {"prog", "--device"}));      // and with their whole length
    EXPECT_FALSE(parses(cli, {"prog", "--deviceInfoX"}));
    EXPECT_FALSE(parses(cli, {"prog", "-x"}));
    EXPECT_FALSE(parses(cli, {"prog", "-1"}));
    EXPECT_FALSE(parses(cli, {"prog", "-"}));
    EXPECT_FALSE(parses(cli, {"prog", "--"}));
    EXPECT_FALSE(parses(cli, {"prog", "---upgrade"}));
    EXPECT_FALSE(parses(cli, {"prog", "upgrade"}));
    EXPECT_FALSE(parses(cli, {"prog", ""}));
    EXPECT_FALSE(parses(cli, {"prog", "\xE9u"}));
    // Only the first argument is examined.
    EXPECT_FALSE(parses(cli, {"prog", "foo", "-u"}));
}

TEST(CommandLineParse, NoOptionArgumentFailsWithoutReadingPastTheList) {
    UpdaterOptions cli;
    EXPECT_FALSE(parses(cli, {"prog"}));
    EXPECT_FALSE(parses(cli, {}));
    CommandLine::Command command;
    EXPECT_FALSE(cli.parse(0, nullptr, command));
    // argc says one argument and the list holds no terminator: nothing beyond
    // argv[0] may be read.
    char program[] = "prog";
    char* only[] = {program};
    EXPECT_FALSE(cli.parse(1, only, command));
}

TEST(CommandLineParse, ValuesRunUntilTheNextPrefixedArgument) {
    UpdaterOptions cli;
    const auto command = parseOrFail(cli, {"prog", "-u", "a", "b", "-c", "d"});
    EXPECT_EQ('u', command.letter);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), command.values);

    const auto longForm = parseOrFail(cli, {"prog", "--deviceInfo", "x", "", "y"});
    EXPECT_EQ((std::vector<std::string>{"x", "", "y"}), longForm.values);
    EXPECT_TRUE(parseOrFail(cli, {"prog", "-i"}).values.empty());
}

TEST(CommandLineParse, FailureLeavesTheResultAloneAndSuccessReplacesIt) {
    UpdaterOptions cli;
    CommandLine::Command command;
    EXPECT_EQ(' ', command.letter);
    command.letter = 'q';
    command.values = {"old"};
    Args bad{"prog", "-x", "value"};
    EXPECT_FALSE(cli.parse(bad.argc(), bad.argv(), command));
    EXPECT_EQ('q', command.letter);
    EXPECT_EQ(std::vector<std::string>{"old"}, command.values);

    Args good{"prog", "-i", "new"};
    ASSERT_TRUE(cli.parse(good.argc(), good.argv(), command));
    EXPECT_EQ('i', command.letter);
    EXPECT_EQ(std::vector<std::string>{"new"}, command.values);
}

TEST(CommandLineUsage, ListsNameVersionAndOptionsInLetterOrder) {
    UpdaterOptions cli;
    testing::internal::CaptureStderr();
    cli.printUsage();
    EXPECT_EQ(
        "ZarnFirmwareUpdater 1.0.0\n"
        "Usage:\n"
        "\n"
        "-i, --deviceInfo \n"
        "  Get Device Info\n"
        "-u, --upgrade \n"
        "  Upgrade the sensor\n",
        testing::internal::GetCapturedStderr());
}

TEST(CommandLineUsage, AnOverlongEntryIsCutTo127Characters) {
    UpdaterOptions cli;
    const std::string description(300, 'd');
    cli.addOption('l', "long", description, 0);
    testing::internal::CaptureStderr();
    cli.printUsage();
    const std::string usage = testing::internal::GetCapturedStderr();
    const std::string entryStart = "-l, --long \n  ";
    const size_t at = usage.find(entryStart);
    ASSERT_NE(std::string::npos, at);
    const size_t end = usage.find('\n', at + entryStart.size());
    ASSERT_NE(std::string::npos, end);
    EXPECT_EQ(127u, end - at);
    EXPECT_EQ(std::string(127 - entryStart.size(), 'd'), usage.substr(at + entryStart.size(), end - at - entryStart.size()));
    // The entries after it are whole.
    EXPECT_NE(std::string::npos, usage.find("-u, --upgrade \n  Upgrade the sensor\n", end));
}

}  // namespace
