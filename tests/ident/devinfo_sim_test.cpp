// DEV_CommCall and IC_OpenPort end to end against the simulated reader.
#include "protocol.h"
#include "pty_peer.h"
#include "server.h"
#include "stripedrv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// A simulated reader serving on its own thread, its log kept for the test.
class SimReader {
public:
    explicit SimReader(const std::function<void(readersim::Behaviour &)> &set = {})
        : protocol_(readersim::Card{}, behaviour(set)), server_(protocol_, options()),
          thread_([this] { server_.run(); })
    {
    }
    ~SimReader()
    {
        server_.stop();
        thread_.join();
    }
    std::string port() const { return server_.portName(); }
    std::string log()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

private:
    static readersim::Behaviour behaviour(const std::function<void(readersim::Behaviour &)> &set)
    {
        readersim::Behaviour b;
        if (set)
            set(b);
        return b;
    }
    readersim::ServerOptions options()
    {
        readersim::ServerOptions o;
        o.log = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_ += line + "\n";
        };
        return o;
    }

    std::mutex mutex_;
    std::string log_;
    readersim::Protocol protocol_;
    readersim::Server server_;
    std::thread thread_;
};

struct Answer {
    int rc;
    std::string text;
};

Answer askDevice(const std::string &port)
{
    std::string request = R"({"RequestPort":")" + port + R"(","RequestBaudRate":"9600"})";
    char answer[1024] = {};
    int len = sizeof answer;
    int rc = DEV_CommCall(request.c_str(), nullptr, answer, &len);
    EXPECT_EQ(len, static_cast<int>(strlen(answer)));
    return {rc, answer};
}

class DevInfoSim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(symlink(SD_REQJSON_DIR, "QOVA"), 0); }
    sdtest::TempWorkDir dir;
};

} // namespace

TEST_F(DevInfoSim, AnswersWhatTheReaderSaysAboutItself)
{
    SimReader reader;
    Answer a = askDevice(reader.port());
    ASSERT_EQ(a.rc, SD_OK) << a.text;
    nlohmann::json j = nlohmann::json::parse(a.text);
    EXPECT_EQ(j.size(), 8u);
    EXPECT_EQ(j["ErrorCode"], "0");
    EXPECT_EQ(j["ErrorMessage"], "success");
    EXPECT_EQ(j["DeviceBrand"], "QOVA");
    EXPECT_EQ(j["DllVersion"], "0.2024.330.1700");
    EXPECT_EQ(j["DeviceVersion"], "Ver5.13.2");
    EXPECT_EQ(j["DeviceSN"], "A7-2506AB");
    EXPECT_EQ(j["ProductionDate"], "2506");
    EXPECT_EQ(j["DeviceModel"], "P26B");
    EXPECT_EQ(isPortOpened, 0);
}

TEST_F(DevInfoSim, MisbehavingReaderGivesTheErrorAnswers)
{
    struct Case {
        std::function<void(readersim::Behaviour &)> set;
        int rc;
        const char *message;
    };
    for (const Case &c : {Case{[](readersim::Behaviour &b) { b.identityStart = 'X'; }, -8, "data error"},
                          Case{[](readersim::Behaviour &b) { b.versionOverrun = true; }, -2,
                               "operation timeout"},
                          Case{[](readersim::Behaviour &b) { b.identityShortBy = 3; }, -2,
                               "operation timeout"}}) {
        SimReader reader(c.set);
        Answer a = askDevice(reader.port());
        EXPECT_EQ(a.rc, c.rc) << a.text;
        nlohmann::json j = nlohmann::json::parse(a.text);
        EXPECT_EQ(j["ErrorCode"], std::to_string(c.rc));
        EXPECT_EQ(j["ErrorMessage"], c.message);
    }
}

TEST(PortSwitchSim, OpenPortFollowsTheReaderTo115200)
{
    SimReader reader;
    ASSERT_EQ(IC_OpenPort(reader.port().c_str(), "A", 9600, 0), SD_OK);
    char version[SD_VERSION_MAX] = {};
    EXPECT_EQ(GetVersionInfo(version), SD_OK); // asked at the new speed
    EXPECT_STREQ(version, "Ver5.13.2");
    EXPECT_EQ(IC_ClosePort(nullptr, nullptr, 0, 0), SD_OK);
    usleep(200 * 1000); // let the reader log the last command
    std::string log = reader.log();
    EXPECT_NE(log.find("command I1"), std::string::npos) << log;
    EXPECT_NE(log.find("select port B"), std::string::npos) << log;
    EXPECT_EQ(log.find("the host talks at"), std::string::npos) << log;
}
