// ReqFieldGet: what a request gives for a field, and how long values are cut.
#include "reqjson.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kRequest[] = R"({"RequestPort":"ttyUSB0","RequestBaudRate":"9600"})";

// Calls ReqFieldGet on a buffer that holds garbage beforehand and has a
// guard area behind its 128 bytes. Fails the test if the guard is touched.
struct Lookup {
    int rc = 0;
    std::string value;
};

Lookup lookup(const char *request, const char *field)
{
    char buf[REQJSON_VALUE_BUF + 64];
    std::memset(buf, 'Z', sizeof buf);
    Lookup l;
    l.rc = ReqFieldGet(request, field, buf);
    for (size_t i = REQJSON_VALUE_BUF; i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], 'Z') << "byte " << i << " behind the value buffer was written";
    const void *nul = std::memchr(buf, '\0', REQJSON_VALUE_BUF);
    EXPECT_NE(nul, nullptr) << "value not terminated within its buffer";
    if (nul)
        l.value = buf;
    return l;
}

std::string requestWith(const std::string &field, const std::string &jsonValue)
{
    return "{\"" + field + "\":" + jsonValue + "}";
}

} // namespace

// ---------------------------------------------------------------------------
// Values that are given

TEST(ReqFieldGetValues, StringFieldsGiveTheirText)
{
    Lookup port = lookup(kRequest, "RequestPort");
    EXPECT_EQ(port.rc, 0);
    EXPECT_EQ(port.value, "ttyUSB0");
    Lookup baud = lookup(kRequest, "RequestBaudRate");
    EXPECT_EQ(baud.rc, 0);
    EXPECT_EQ(baud.value, "9600");
}

TEST(ReqFieldGetValues, NumbersGiveTheirDecimalText)
{
    EXPECT_EQ(lookup(R"({"RequestBaudRate":115200})", "RequestBaudRate").value, "115200");
    EXPECT_EQ(lookup(R"({"n":-42})", "n").value, "-42");
    EXPECT_EQ(lookup(R"({"n":0})", "n").value, "0");
    EXPECT_EQ(lookup(R"({"n":18446744073709551615})", "n").value, "18446744073709551615");
    EXPECT_EQ(lookup(R"({"n":9600.5})", "n").value, "9600.5");
}

TEST(ReqFieldGetValues, EscapesInTheRequestAreDecoded)
{
    EXPECT_EQ(lookup(R"({"p":"a\"b\\c\/d\u00e9\n"})", "p").value, "a\"b\\c/d\xC3\xA9\n");
}

TEST(ReqFieldGetValues, EmptyStringIsFoundButEmpty)
{
    Lookup l = lookup(R"({"RequestPort":""})", "RequestPort");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.value, "");
}

TEST(ReqFieldGetValues, FieldNamesAreExactAndOnlyTopLevel)
{
    const char request[] = R"({"requestport":"a","Inner":{"RequestPort":"b"},"RequestPort ":"c"})";
    EXPECT_EQ(lookup(request, "RequestPort").rc, -1);
    EXPECT_EQ(lookup(request, "RequestPort").value, "");
    EXPECT_EQ(lookup(request, "requestport").value, "a");
}

TEST(ReqFieldGetValues, BlanksAndLineEndsAroundTheJsonAreAllowed)
{
    EXPECT_EQ(lookup(" \n{ \"RequestPort\" : \"3\" }\r\n", "RequestPort").value, "3");
}

// ---------------------------------------------------------------------------
// Everything else gives an empty text

TEST(ReqFieldGetEmpty, AbsentFieldOrOtherKindsOfValue)
{
    EXPECT_EQ(lookup(kRequest, "Missing").value, "");
    EXPECT_EQ(lookup(kRequest, "Missing").rc, -1);
    for (const char *v : {"true", "false", "null", "[1,2]", R"({"a":1})", R"(["x"])"}) {
        Lookup l = lookup(requestWith("f", v).c_str(), "f");
        EXPECT_EQ(l.rc, -1) << v;
        EXPECT_EQ(l.value, "") << v;
    }
}

TEST(ReqFieldGetEmpty, RequestThatIsNoJsonObject)
{
    for (const char *r : {"", "   ", "RequestPort=3", R"({"RequestPort":"3")",
                          R"({"RequestPort":"3"} trailing)", R"(["RequestPort","3"])",
                          R"("RequestPort")", "42", "null", R"({RequestPort:"3"})",
                          R"({'RequestPort':'3'})"}) {
        Lookup l = lookup(r, "RequestPort");
        EXPECT_EQ(l.rc, -1) << r;
        EXPECT_EQ(l.value, "") << r;
    }
}

TEST(ReqFieldGetEmpty, InvalidUtf8InTheRequestIsNoJson)
{
    EXPECT_EQ(lookup("{\"RequestPort\":\"tty\xFF\"}", "RequestPort").value, "");
}

TEST(ReqFieldGetEmpty, NullArgumentsAreRefusedQuietly)
{
    EXPECT_EQ(lookup(nullptr, "RequestPort").value, "");
    EXPECT_EQ(lookup(kRequest, nullptr).value, "");
    EXPECT_EQ(ReqFieldGet(kRequest, "RequestPort", nullptr), -1);
}

// ---------------------------------------------------------------------------
// Long values are cut at 127 bytes, never inside a character

TEST(ReqFieldGetCut, AsciiIsCutAt127Bytes)
{
    std::string exact(127, 'a');
    EXPECT_EQ(lookup(requestWith("f", "\"" + exact + "\"").c_str(), "f").value, exact);
    std::string longer(300, 'b');
    EXPECT_EQ(lookup(requestWith("f", "\"" + longer + "\"").c_str(), "f").value,
              std::string(127, 'b'));
}

TEST(ReqFieldGetCut, MultiByteCharacterAcrossTheLimitIsLeftOut)
{
    struct Case {
        size_t lead;
        std::string ch;
    };
    // Each character would take bytes up to index 127 or beyond.
    for (const Case &c : {Case{126, "\xC3\xA9"}, Case{125, "\xE2\x82\xAC"},
                          Case{126, "\xE2\x82\xAC"}, Case{124, "\xF0\x9F\x98\x80"},
                          Case{126, "\xF0\x9F\x98\x80"}}) {
        std::string text = std::string(c.lead, 'x') + c.ch + "tail";
        std::string got = lookup(requestWith("f", "\"" + text + "\"").c_str(), "f").value;
        EXPECT_EQ(got, std::string(c.lead, 'x')) << "lead " << c.lead << ", " << c.ch.size()
                                                  << "-byte character";
    }
}

TEST(ReqFieldGetCut, CharacterEndingExactlyAtTheLimitIsKept)
{
    std::string text = std::string(125, 'x') + "\xC3\xA9" + "tail"; // bytes 125, 126
    EXPECT_EQ(lookup(requestWith("f", "\"" + text + "\"").c_str(), "f").value,
              std::string(125, 'x') + "\xC3\xA9");
    std::string cjk;
    for (int i = 0; i < 50; ++i)
        cjk += "\xE5\x8A\xA0"; // 150 bytes of 3-byte characters
    std::string got = lookup(requestWith("f", "\"" + cjk + "\"").c_str(), "f").value;
    EXPECT_EQ(got, cjk.substr(0, 126)); // 42 whole characters
}
