// DEV_CommCall and IC_OpenPort end to end against the simulated reader.
#include "ident_support.h"
#include "protocol.h"
#include "server.h"

using namespace sdtest;

namespace {

using readersim::Behaviour;

// A simulated reader serving on its own thread. Its log may be read once
// it is stopped.
struct SimReader {
    explicit SimReader(const Behaviour &b = {})
        : protocol(readersim::Card{}, b), server(protocol, options()),
          thread([this] { server.run(); }) {}
    ~SimReader() { stop(); }
    void stop()
    {
        if (thread.joinable()) {
            server.stop();
            thread.join();
        }
    }
    readersim::ServerOptions options()
    {
        readersim::ServerOptions o;
        o.log = [this](const std::string &line) { log += line + "\n"; };
        return o;
    }
    std::string log;
    readersim::Protocol protocol;
    readersim::Server server;
    std::thread thread;
};

} // namespace

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
        std::string request = R"({"RequestPort":")" + reader.server.portName() +
                              R"(","RequestBaudRate":"9600"})";
        Call c = devCommCall(request.c_str());
        EXPECT_EQ(c.answer, k.answer);
        EXPECT_EQ(c.len, static_cast<int>(c.answer.size()));
        EXPECT_EQ(isPortOpened, 0);
    }
}

TEST(PortSwitchSim, OpenPortFollowsTheReaderTo115200)
{
    SimReader reader;
    ASSERT_EQ(IC_OpenPort(reader.server.portName().c_str(), "A", 9600, 0), SD_OK);
    char version[SD_VERSION_MAX] = {};
    EXPECT_EQ(GetVersionInfo(version), SD_OK); // asked at the new speed
    EXPECT_STREQ(version, "Ver5.13.2");
    EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
    usleep(200 * 1000); // let the reader log the last command
    reader.stop();
    EXPECT_NE(reader.log.find("command I1"), std::string::npos) << reader.log;
    EXPECT_NE(reader.log.find("select port B"), std::string::npos) << reader.log;
    EXPECT_EQ(reader.log.find("the host talks at"), std::string::npos) << reader.log;
}
