// ReqFieldGet: what a request gives for a field, and how long values are cut.
#include "reqjson.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kRequest[] = R"({"RequestPort":"ttyUSB0","RequestBaudRate":"9600"})";
const char kNames[] = R"({"requestport":"a","Inner":{"RequestPort":"b"},"RequestPort ":"c"})";

// A request whose field "f" holds the JSON value v, or the string text t.
std::string withValue(const std::string &v) { return "{\"f\":" + v + "}"; }
std::string withText(const std::string &t) { return withValue("\"" + t + "\""); }

// Calls ReqFieldGet on a buffer that holds garbage beforehand and has a
// guard area behind its 128 bytes; checks the result and the value.
void expectLookup(const char *request, const char *field, int rc, const std::string &value)
{
    SCOPED_TRACE(std::string(request ? request : "(null)").substr(0, 60));
    char buf[REQJSON_VALUE_BUF + 64];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(ReqFieldGet(request, field, buf), rc);
    EXPECT_EQ(std::string(buf + REQJSON_VALUE_BUF, 64), std::string(64, 'Z'))
        << "written behind the value buffer";
    ASSERT_NE(memchr(buf, '\0', REQJSON_VALUE_BUF), nullptr) << "value not terminated";
    EXPECT_EQ(std::string(buf), value);
}

struct Case {
    std::string request, field;
    int rc;
    std::string value;
};

} // namespace

TEST(ReqFieldGet, StringsGiveTheirTextNumbersTheirDecimalText)
{
    for (const Case &c : {Case{kRequest, "RequestPort", 0, "ttyUSB0"},
                          Case{kRequest, "RequestBaudRate", 0, "9600"},
                          Case{R"({"RequestBaudRate":115200})", "RequestBaudRate", 0, "115200"},
                          Case{withValue("-42"), "f", 0, "-42"}, Case{withValue("0"), "f", 0, "0"},
                          Case{withValue("18446744073709551615"), "f", 0, "18446744073709551615"},
                          Case{withValue("9600.5"), "f", 0, "9600.5"},
                          Case{withText(R"(a\"b\\c\/d\u00e9\n)"), "f", 0, "a\"b\\c/d\xC3\xA9\n"},
                          Case{withText(""), "f", 0, ""},
                          Case{" \n{ \"RequestPort\" : \"3\" }\r\n", "RequestPort", 0, "3"},
                          // names are exact and only at the top level
                          Case{kNames, "requestport", 0, "a"}, Case{kNames, "RequestPort", -1, ""}})
        expectLookup(c.request.c_str(), c.field.c_str(), c.rc, c.value);
}

TEST(ReqFieldGet, EverythingElseGivesAnEmptyText)
{
    expectLookup(kRequest, "Missing", -1, "");
    for (const char *v : {"true", "false", "null", "[1,2]", R"({"a":1})", R"(["x"])"})
        expectLookup(withValue(v).c_str(), "f", -1, "");
    for (const char *r : {"", "   ", "RequestPort=3", R"({"RequestPort":"3")",
                          R"({"RequestPort":"3"} trailing)", R"(["RequestPort","3"])",
                          R"("RequestPort")", "42", "null", R"({RequestPort:"3"})",
                          R"({'RequestPort':'3'})", "{\"RequestPort\":\"tty\xFF\"}"})
        expectLookup(r, "RequestPort", -1, "");
    expectLookup(nullptr, "RequestPort", -1, "");
    expectLookup(kRequest, nullptr, -1, "");
    EXPECT_EQ(ReqFieldGet(kRequest, "RequestPort", nullptr), -1);
}

TEST(ReqFieldGet, LongValuesAreCutAt127BytesNeverInsideACharacter)
{
    const std::string x124(124, 'x'), x125(125, 'x'), x126(126, 'x');
    const std::string euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80", e = "\xC3\xA9";
    std::string cjk;
    for (int i = 0; i < 50; ++i)
        cjk += "\xE5\x8A\xA0"; // 150 bytes of 3-byte characters
    struct Cut {
        std::string text, value;
    };
    for (const Cut &c : {Cut{std::string(127, 'a'), std::string(127, 'a')},
                         Cut{std::string(300, 'b'), std::string(127, 'b')},
                         // a character that would reach byte 127 or beyond is left out
                         Cut{x126 + e + "tail", x126}, Cut{x125 + euro + "tail", x125},
                         Cut{x126 + euro + "tail", x126}, Cut{x124 + smile + "tail", x124},
                         Cut{x126 + smile + "tail", x126},
                         // one that ends at byte 126 is kept
                         Cut{x125 + e + "tail", x125 + e}, Cut{cjk, cjk.substr(0, 126)}})
        expectLookup(withText(c.text).c_str(), "f", 0, c.value);
}
