// DEV_CommCall end to end against the simulated reader.
#include "ident_support.h"
#include "sim_reader.h"

#include <nlohmann/json.hpp>

#include <cstdio>

using namespace sdtest;

using readersim::Behaviour;
using SimReader = InProcessReader;

TEST(DevInfoSim, AnswersWhatTheReaderSaysOrWhatWentWrong)
{
    LibraryDir dir;
    struct Case {
        void (*set)(Behaviour &);
        const char *answer;
    };
    for (const Case &k :
         {Case{[](Behaviour &) {},
               R"({"ErrorCode":"0","ErrorMessage":"success","DeviceBrand":"QOVA",)"
               R"("DllVersion":"0.2024.330.1700","DeviceVersion":"Ver5.13.2",)"
               R"("DeviceSN":"A7-2506AB","ProductionDate":"2506","DeviceModel":"P26B"})"},
          Case{[](Behaviour &b) { b.identityStart = 'X'; },
               R"({"ErrorCode":"-8","ErrorMessage":"data error"})"},
          Case{[](Behaviour &b) { b.versionOverrun = true; },
               R"({"ErrorCode":"-2","ErrorMessage":"operation timeout"})"},
          Case{[](Behaviour &b) { b.identityShortBy = 3; },
               R"({"ErrorCode":"-2","ErrorMessage":"operation timeout"})"}}) {
        Behaviour b;
        k.set(b);
        SimReader reader(b);
        std::string request = R"({"RequestPort":")" + reader.port() +
                              R"(","RequestBaudRate":"9600"})";
        Call c = devCommCall(request.c_str());
        EXPECT_EQ(c.answer, k.answer);
        EXPECT_EQ(c.len, static_cast<int>(c.answer.size()));
        EXPECT_EQ(isPortOpened, 0);
    }
}

// stripectl info --json asks the reader itself but must say what
// DEV_CommCall says, for every kind of firmware: one that settles the
// model by itself, one that needs the identity record, and records that
// test the split, the cut to the answer's buffers and the escaping.
TEST(DevInfoSim, StripectlInfoAgreesWithTheCallForEveryKindOfFirmware)
{
    LibraryDir dir;
    const std::pair<std::string, std::string> readers[] = {
        {"Ver3.1", ""},
        {"Ver5.12.7", ""},
        {"Ver5.13.2", "01|A7-2506AB"},
        {"Ver5.1", "|A7-2506"},
        {"Ver6.0\"x", "0|" + std::string(140, 'S') + "-2506"},
        {"Ver5.13.2", "a|b|Q\"-2026\t12"},
    };
    for (const auto &kind : readers) {
        SCOPED_TRACE(kind.first + " " + kind.second);
        Behaviour b;
        b.version = kind.first;
        if (!kind.second.empty())
            b.identity = kind.second;
        SimReader reader(b);
        std::string request = R"({"RequestPort":")" + reader.port() + R"("})";
        nlohmann::json call = nlohmann::json::parse(devCommCall(request.c_str()).answer);

        std::string command = std::string(STRIPECTL_PATH) + " info --json --quiet --port " +
                              reader.port();
        FILE *out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char chunk[512];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;)
            text.append(chunk, n);
        EXPECT_EQ(pclose(out), 0) << text;
        EXPECT_EQ(nlohmann::json::parse(text, nullptr, false), call) << text;
        EXPECT_EQ(call.value("ErrorCode", "?"), "0");
    }
}
