// The parts of stripectl that need no reader: the batch file, the option
// parser, the identity rule and the code messages.
#include "context.h"
#include "exit_status.h"
#include "csv.h"
#include "identity.h"
#include "options.h"
#include "stripedrv.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace stripectl;

namespace {

CsvResult parse(const std::string &text)
{
    std::istringstream in(text);
    return parseCardCsv(in);
}

} // namespace

TEST(CardCsv, SkipsCommentsBlanksAndHeadingUnquotesAndNumbersCardRows)
{
    CsvResult csv = parse("# batch 7\n"
                          "Track2 , TRACK3\n"
                          "\n"
                          "1111=22,3333=44\n"
                          "   \n"
                          "\"12,34\",\"say \"\"hi\"\"\"\r\n"
                          "  5678 ,  \" 9 \"  \r\n"
                          ",7777=88\n");
    ASSERT_TRUE(csv.ok) << csv.error;
    std::vector<std::string> rows;
    for (const CardRow &row : csv.rows)
        rows.push_back(std::to_string(row.number) + "@" + std::to_string(row.line) + " [" +
                       row.track2 + "] [" + row.track3 + "]");
    // Blanks around plain fields go, quoted blanks stay.
    EXPECT_EQ(rows, (std::vector<std::string>{"1@4 [1111=22] [3333=44]",
                                              "2@6 [12,34] [say \"hi\"]", "3@7 [5678] [ 9 ]",
                                              "4@8 [] [7777=88]"}));
}

TEST(CardCsv, MalformedRowsAreRefusedWithTheirLine)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {"1,2\n3\n", "line 2: expected 2 columns"},
        {"1,2,3\n", "line 1: expected 2 columns"},
        {"# x\n , \n", "line 2: both track texts are empty"},
        {"\"12,3\n", "line 1: a quote is not closed"},
        {"\"12\"x,3\n", "line 1: text after a closing quote"},
    };
    for (const Case &c : cases) {
        CsvResult csv = parse(c.text);
        EXPECT_FALSE(csv.ok) << c.text;
        EXPECT_EQ(csv.error.rfind(c.error, 0), 0u) << c.text << " gave: " << csv.error;
        EXPECT_TRUE(csv.rows.empty());
    }
}

TEST(Options, ValuesFlagsPositionalsAndErrors)
{
    std::vector<OptionDef> table = {{"port", "NAME", ""}, {"json", nullptr, ""}};
    ParsedOptions options;
    std::string error;
    ASSERT_TRUE(parseOptions({"a.csv", "--port", "pts/3", "--json", "--", "--b"}, table, options,
                             error));
    EXPECT_EQ(options.value("port"), "pts/3");
    EXPECT_TRUE(options.has("json"));
    EXPECT_EQ(options.positional(), (std::vector<std::string>{"a.csv", "--b"}));

    ASSERT_TRUE(parseOptions({"--port=ttyUSB0"}, table, options, error));
    EXPECT_EQ(options.value("port"), "ttyUSB0");
    EXPECT_FALSE(options.has("json"));
    // A value may itself start with a dash.
    ASSERT_TRUE(parseOptions({"--port", "-x"}, table, options, error));
    EXPECT_EQ(options.value("port"), "-x");

    EXPECT_FALSE(parseOptions({"--speed", "1"}, table, options, error));
    EXPECT_EQ(error, "unknown option --speed");
    // An empty value given inline is a value; the next argument stays an
    // argument.
    ASSERT_TRUE(parseOptions({"--port=", "--json", "x"}, table, options, error));
    EXPECT_EQ(options.value("port", "unset"), "");
    EXPECT_TRUE(options.has("json"));
    EXPECT_EQ(options.positional(), (std::vector<std::string>{"x"}));
    // The last of a repeated option counts.
    ASSERT_TRUE(parseOptions({"--port", "a", "--json", "--port=b", "--json"}, table, options,
                             error));
    EXPECT_EQ(options.value("port"), "b");

    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"-p"}, "unknown option -p"},
        {{"x", "--speed=9", "--port", "a"}, "unknown option --speed"},
        {{"--port"}, "option --port needs a value (NAME)"},
        {{"--json=1"}, "option --json takes no value"},
        {{"--help"}, "unknown option --help"}, // only where the table has it
    };
    for (const auto &[args, text] : bad) {
        EXPECT_FALSE(parseOptions(args, table, options, error)) << args[0];
        EXPECT_EQ(error, text);
    }
}

TEST(ReaderIdentity, RecordSplitAndModelAsTheDeviceInformationCallHasThem)
{
    struct Case {
        std::string record, serial, date;
    } cases[] = {
        {"01|A7-2506AB", "A7-2506AB", "2506"},
        {"|A7-2506", "", ""},       // "|" in the first place is not looked at
        {"A7|-2506", "-2506", ""},  // nor "-" first in the serial number
        {"X|Y-25", "Y-25", "25"},
        {"a|b|C-1-202612", "C-1-202612", "2026"}, // the last "|" and "-" count
        {"no bar", "", ""},
        {"", "", ""},
        {"|", "", ""},
        // Cut to the answer's buffers; the date is taken from what is kept.
        {"0|" + std::string(150, 'S'), std::string(127, 'S'), ""},
        {"0|" + std::string(120, 'S') + "-2506-" + std::string(10, 'x'),
         std::string(120, 'S') + "-2506-x", "x"},
    };
    for (const Case &c : cases) {
        char serial[sdident::kSerialBuf] = "?", date[sdident::kDateBuf] = "?";
        sdident::splitIdentityRecord(c.record.c_str(), serial, sizeof serial, date, sizeof date);
        EXPECT_EQ(serial, c.serial) << c.record;
        EXPECT_EQ(date, c.date) << c.record;
    }
    // The firmware gives the model, and tells whether the identity record
    // must be asked for.
    const struct {
        const char *firmware, *model;
        bool askRecord;
    } models[] = {{"Ver3.2", "P26A", false},   {"Ver5.12.7", "P26B", false},
                  {"Ver5.1", "P26B", true},    {"Ver5.13.2", "P26B", true},
                  {"ver3", "P26B", true},      {"", "P26B", true}};
    for (const auto &m : models) {
        EXPECT_STREQ(sdident::modelFromFirmware(m.firmware), m.model) << m.firmware;
        EXPECT_EQ(sdident::needsIdentityRecord(m.firmware), m.askRecord) << m.firmware;
    }
}

TEST(CodeMessages, EveryLibraryCodeHasItsOwnSentence)
{
    std::set<std::string> seen;
    for (int code = SD_ERR_BUSY; code <= SD_OK; ++code) {
        EXPECT_TRUE(isKnownCode(code)) << code;
        std::string text = codeMessage(code);
        EXPECT_EQ(text.find("unexpected"), std::string::npos) << code;
        EXPECT_TRUE(seen.insert(text).second) << "same text twice: " << text;
    }
    // The reader's refusals name the byte it sent.
    EXPECT_NE(codeMessage(SD_READ_ERR_LETTER('B')).find("\"B\""), std::string::npos);
    EXPECT_NE(codeMessage(SD_READ_ERR_DIGIT('7')).find("\"7\""), std::string::npos);
    EXPECT_TRUE(isKnownCode(SD_READ_ERR_LETTER('D')));
    EXPECT_FALSE(isKnownCode(SD_READ_ERR_LETTER('D') + 1));
    EXPECT_FALSE(isKnownCode(-13));
    EXPECT_NE(codeMessage(-13).find("-13"), std::string::npos);

    // Queries without a card speak of the reader, not the card.
    EXPECT_NE(queryMessage(SD_ERR_TIMEOUT).find("did not answer"), std::string::npos);
    EXPECT_EQ(queryMessage(SD_ERR_TIMEOUT).find("card"), std::string::npos);
    EXPECT_EQ(queryMessage(SD_ERR_PORT).find("\"rs\""), std::string::npos);
    EXPECT_EQ(queryMessage(SD_ERR_DATA), codeMessage(SD_ERR_DATA));
}

TEST(ExitStatuses, TheHelpListsEveryStatusFromTheTable)
{
    const std::string help = exitStatusHelp();
    EXPECT_EQ(help.rfind("Exit status:\n", 0), 0u) << help;
    for (const char *line : {"\n  0  success\n", "\n  2  bad command line", "\n  3  the port",
                             "\n  4  nothing arrived", "\n  5  the card read back",
                             "\n130  interrupted (Ctrl-C)"})
        EXPECT_NE(help.find(line), std::string::npos) << line;
    // Each driver code leads to the status the help gives it.
    EXPECT_EQ(exitStatusForCode(SD_OK), kExitOk);
    EXPECT_EQ(exitStatusForCode(SD_ERR_PORT), kExitPort);
    EXPECT_EQ(exitStatusForCode(SD_ERR_TIMEOUT), kExitNoCard);
    EXPECT_EQ(exitStatusForCode(SD_ERR_CANCELLED), kExitInterrupted);
    EXPECT_EQ(exitStatusForCode(SD_ERR_BUSY), kExitFailed);
}
