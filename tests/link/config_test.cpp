// CONFIG.ini lookups: the section, key, comment and line-end rules shared by
// X_INIKeyString, GetIniKeyString and the trace switch.
#include "link_support.h"

#include <cstring>

using namespace sdtest;

namespace {

class Config : public ::testing::Test {
protected:
    // X_INIKeyString's value for `key` in section S of `ini`; "<none>" when
    // it stores nothing.
    std::string lookup(const std::string &ini, const char *key, const char *def = "<default>")
    {
        dir.write("CONFIG.ini", ini);
        char out[2048];
        strcpy(out, "<none>");
        return X_INIKeyString("CONFIG.ini", "S", key, out, def) == 1 ? out : "<none>";
    }
    std::string getIni(const std::string &ini, const char *key)
    {
        dir.write("CONFIG.ini", ini);
        char out[2048] = "";
        GetIniKeyString("S", key, "CONFIG.ini", out, "<default>");
        return out;
    }
    // Whether a trace entry is written with this CONFIG.ini.
    bool traces(const std::string &ini)
    {
        dir.write("CONFIG.ini", ini);
        EXPECT_EQ(WriteLog("x"), 0);
        return dir.exists("DataLog.log");
    }

    TempWorkDir dir;
};

} // namespace

TEST_F(Config, SectionIsEnteredOnceAndNeverLeft)
{
    EXPECT_EQ(lookup("k=before\n[S]\nk=v\n", "k"), "v");
    EXPECT_EQ(lookup("[T]\nk=t\n[S]\n[U]\nk=u\n", "k"), "u") << "later sections are still inside";
    EXPECT_EQ(lookup("[S] trailing text\nk=v\n", "k"), "v");
    EXPECT_EQ(lookup(" [S]\nk=v\n", "k"), "<default>") << "header must start the line";
    EXPECT_EQ(lookup("[s]\nk=v\n", "k"), "<default>") << "case-sensitive";
    EXPECT_EQ(lookup("[SS]\nk=v\n", "k"), "<default>") << "the name ends at its \"]\"";
    EXPECT_EQ(lookup("[S]\nk=v\n", "missing"), "<default>");
    EXPECT_EQ(lookup("[S]\nk=v\n", "missing", nullptr), "<none>");
}

TEST_F(Config, KeyIsASubstringOfTheWholeLine)
{
    EXPECT_EQ(lookup("[S]\nNoSwitch=0\nSwitch=1\n", "Switch"), "0") << "first candidate wins";
    EXPECT_EQ(lookup("[S]\nother=has Switch inside\n", "Switch"), "has Switch inside");
    EXPECT_EQ(lookup("[S]\nSwitch = 1\n", "Switch"), " 1");
    EXPECT_EQ(lookup("[S]\nkey=a=b\n", "key"), "a=b");
    EXPECT_EQ(lookup("[S]\n#c=1\nfirst=2\n", ""), "2") << "an empty key is in every line";
    EXPECT_EQ(lookup("[S]\nk=\n", "k"), "");
}

TEST_F(Config, CommentsAndLastLine)
{
    EXPECT_EQ(lookup("[S]\n#k=1\n//k=2\nk=3\n", "k"), "3");
    EXPECT_EQ(lookup("[S]\n #k=1\n", "k"), "1") << "a blank first: no comment";
    EXPECT_EQ(lookup("[S]\n/k=1\n", "k"), "1");
    EXPECT_EQ(lookup("[S]\nk=1", "k"), "<default>") << "a last line without LF is never read";
    EXPECT_EQ(lookup("[S]", "k"), "<default>");
}

TEST_F(Config, CarriageReturnsDifferBetweenTheLookups)
{
    const std::string crlf = "[S]\r\nk=1\r\n";
    EXPECT_EQ(lookup(crlf, "k"), "1");
    EXPECT_EQ(getIni(crlf, "k"), "1\r");
    EXPECT_EQ(lookup("[S]\nk=a\rb\n", "k"), "a");
    EXPECT_EQ(getIni("[S]\nk=a\rb\n", "k"), "a\rb");
}

TEST_F(Config, MissingFileAndNullArguments)
{
    char out[16] = "untouched";
    EXPECT_EQ(X_INIKeyString("no.ini", "S", "k", out, "d"), 0);
    EXPECT_STREQ(out, "untouched") << "no file: not even the default";
    GetIniKeyString("S", "k", "no.ini", out, "d");
    EXPECT_STREQ(out, "d");
    dir.write("CONFIG.ini", "[S]\nk=v\n");
    EXPECT_EQ(X_INIKeyString(nullptr, "S", "k", out, "d"), 0);
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", nullptr, "k", out, "d"), 0);
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", "S", nullptr, out, "d"), 0);
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", "S", "k", nullptr, "d"), 0);
    EXPECT_EQ(getIni("[S]\nk=v\n", "zz"), "<default>");
}

TEST_F(Config, OverlongLinesAndSectionNamesAreCut)
{
    // Only the first 1023 characters of a line count; the rest up to the LF
    // is dropped, so the next line is read as a line of its own.
    const std::string value(1500, 'v');
    EXPECT_EQ(lookup("[S]\nk=" + value + "\nnext=1\n", "k"), std::string(1021, 'v'));
    EXPECT_EQ(lookup("[S]\n" + std::string(1100, 'x') + "=dropped\nk=2\n", "k"), "2");
    EXPECT_EQ(lookup("[S]\n" + std::string(1100, 'x') + "k=dropped\nk=2\n", "k"), "2");

    const std::string longName(1022, 'N'); // "[" + name + "]" does not fit
    dir.write("CONFIG.ini", "[" + longName + "]\nk=v\n");
    char out[16] = "";
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", longName.c_str(), "k", out, "d"), 1);
    EXPECT_STREQ(out, "d");
    GetIniKeyString(longName.c_str(), "k", "CONFIG.ini", out, "e");
    EXPECT_STREQ(out, "e");
    const std::string fits(1021, 'N');
    dir.write("CONFIG.ini", "[" + fits + "]\nk=v\n");
    EXPECT_EQ(X_INIKeyString("CONFIG.ini", fits.c_str(), "k", out, "d"), 1);
    EXPECT_STREQ(out, "v");
}

TEST_F(Config, TraceSwitchValues)
{
    for (const char *on : {"1", "2", "-1", " 1", "1abc"}) {
        SCOPED_TRACE(on);
        EXPECT_TRUE(traces(std::string("[DEVTRACE]\nSwitch=") + on + "\n"));
        remove("DataLog.log");
    }
    for (const char *off : {"0", "on", "", "00"}) {
        SCOPED_TRACE(off);
        EXPECT_FALSE(traces(std::string("[DEVTRACE]\nSwitch=") + off + "\n"));
    }
    EXPECT_FALSE(traces("[DEVTRACE]\nOther=1\n"));
    EXPECT_FALSE(traces("[OTHER]\nSwitch=1\n"));
    EXPECT_FALSE(traces("[DEVTRACE]\nSwitch=1"));
    EXPECT_TRUE(traces("[DEVTRACE]\n[LATER]\nSwitch=1\n"));
    remove("DataLog.log");
    remove("CONFIG.ini");
    EXPECT_EQ(WriteLog("x"), 0);
    EXPECT_FALSE(dir.exists("DataLog.log"));
    // A value far longer than the switch buffer is cut, not overrun.
    EXPECT_TRUE(traces("[DEVTRACE]\nSwitch=1" + std::string(900, 'x') + "\n"));
}
