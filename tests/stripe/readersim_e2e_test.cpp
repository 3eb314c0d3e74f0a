// The card calls end to end against the simulated reader: first its
// component on a thread of this process, then the readersim program.
#include "stripe_support.h"

#include "protocol.h"
#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

using namespace stripetest;

namespace {

// A simulated reader serving on its own thread for the length of a test.
class Simulated {
public:
    explicit Simulated(readersim::Behaviour behaviour = {}, readersim::ServerOptions options = {})
        : protocol(readersim::Card{}, behaviour)
    {
        options.quiet = true;
        options.log = [](const std::string &) {};
        server = std::make_unique<readersim::Server>(protocol, options);
        thread = std::thread([this] { server->run(); });
    }
    ~Simulated()
    {
        server->stop();
        thread.join();
    }
    std::string port() const { return server->portName(); }

    readersim::Protocol protocol;
    std::unique_ptr<readersim::Server> server;
    std::thread thread;
};

struct Tracks {
    char t2[256] = {};
    char t3[256] = {};
};

} // namespace

TEST(EndToEnd, WriteThenReadBackThroughThePacedReader)
{
    sdtest::TempWorkDir dir;
    Simulated reader;  // paced at the 9600 baud the library sets
    Tracks first;
    ASSERT_EQ(MS_ReadCard(reader.port().c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, first.t2, first.t3),
              SD_OK);
    EXPECT_STREQ(first.t2, readersim::kDefaultTrack2);
    EXPECT_STREQ(first.t3, readersim::kDefaultTrack3);

    ASSERT_EQ(MS_WriteCard(reader.port().c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, "1234=5678",
                           "9876=5432"),
              SD_OK);
    ASSERT_EQ(MS_WriteCard(reader.port().c_str(), "1", 9600, 2, SD_TRACK_3, 0, nullptr, "777=1"), SD_OK);

    Tracks back;
    ASSERT_EQ(MS_ReadCard(reader.port().c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, back.t2, back.t3), SD_OK);
    EXPECT_STREQ(back.t2, "1234=5678");
    EXPECT_STREQ(back.t3, "777=1");
    Tracks only2;
    ASSERT_EQ(MS_ReadCard(reader.port().c_str(), "", 19200, 2, SD_TRACK_2, 0, only2.t2, only2.t3), SD_OK);
    EXPECT_STREQ(only2.t2, "1234=5678");
    EXPECT_STREQ(only2.t3, "");
}

TEST(EndToEnd, MisbehavingReaderGivesTheDocumentedCodes)
{
    sdtest::TempWorkDir dir;
    Tracks t;
    {
        readersim::Behaviour b;
        b.readStart = 'D';
        Simulated reader(b);
        EXPECT_EQ(MS_ReadCard(reader.port().c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, t.t2, t.t3), 23);
        EXPECT_STREQ(t.t2, "");
    }
    {
        readersim::Behaviour b;
        b.status = "rq";
        b.stray = std::string("\x00\x07", 2);
        readersim::ServerOptions o;
        o.byteGapMs = 2;
        Simulated reader(b, o);
        EXPECT_EQ(MS_WriteCard(reader.port().c_str(), "", 9600, 2, SD_TRACK_2, 0, "1", nullptr),
                  SD_ERR_RQ);
        EXPECT_EQ(MS_ReadCard(reader.port().c_str(), "", 9600, 2, SD_TRACK_2, 0, t.t2, t.t3), SD_ERR_RQ);
        EXPECT_STREQ(t.t2, "1");
    }
}

TEST(EndToEnd, ReaderThatHangsUpMidReplyLeavesNoOpenLine)
{
    // Waits out the limit on the dead line: about one RecvByte1.
    sdtest::TempWorkDir dir;
    readersim::ServerOptions o;
    o.hangupAfter = 5;
    Simulated reader({}, o);
    std::string port = reader.port();
    Tracks t;
    EXPECT_EQ(MS_ReadCard(port.c_str(), "", 9600, 1, SD_TRACKS_2_3, 0, t.t2, t.t3),
              SD_ERR_TIMEOUT);
    EXPECT_STREQ(t.t2, "");
    EXPECT_EQ(isPortOpened, 0);
    // The reader is back on a new line and serves it.
    EXPECT_NE(reader.port(), port);
}

TEST(EndToEnd, TheReadersimProgram)
{
    sdtest::TempWorkDir dir;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDERR_FILENO);
        execl(READERSIM_PROGRAM, READERSIM_PROGRAM, "--track2", "55=66", "--quiet",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string port;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 3000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
        port += c;
    ASSERT_EQ(port.rfind("pts/", 0), 0u) << port;

    Tracks t;
    EXPECT_EQ(MS_ReadCard(port.c_str(), "", 9600, 2, SD_TRACK_2, 0, t.t2, t.t3), SD_OK);
    EXPECT_STREQ(t.t2, "55=66");
    EXPECT_EQ(MS_WriteCard(port.c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, "1=2", "3=4"), SD_OK);
    EXPECT_EQ(MS_ReadCard(port.c_str(), "", 9600, 2, SD_TRACKS_2_3, 0, t.t2, t.t3), SD_OK);
    EXPECT_STREQ(t.t2, "1=2");
    EXPECT_STREQ(t.t3, "3=4");

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
