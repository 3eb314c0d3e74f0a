// DEV_CommCall end to end against the simulated reader.
#include "ident_support.h"
#include "protocol.h"
#include "server.h"

using namespace sdtest;

namespace {

using readersim::Behaviour;

// A simulated reader serving on its own thread.
struct SimReader {
    explicit SimReader(const Behaviour &b)
        : protocol(readersim::Card{}, b), server(protocol, quiet()),
          thread([this] { server.run(); }) {}
    ~SimReader()
    {
        server.stop();
        thread.join();
    }
    static readersim::ServerOptions quiet()
    {
        readersim::ServerOptions o;
        o.quiet = true;
        return o;
    }
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
