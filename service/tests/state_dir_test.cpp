// The state directory as the service finds it: left open by someone, a
// CONFIG.ini there that leads elsewhere, a trace file that others can read
// or that is not the service's. Each case enters a folder of its own and
// returns to where the test started.
#include "log.h"
#include "state_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using stripedrvd::enterStateDirectory;

namespace {

class StateDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_ = fs::current_path();
        char pattern[] = "/tmp/sdstate.XXXXXX";
        root_ = mkdtemp(pattern);
        stripedrvd::setLogSink([this](const std::string &line) { log_ += line + "\n"; });
    }
    void TearDown() override
    {
        stripedrvd::setLogSink({});
        fs::current_path(start_);
        fs::remove_all(root_);
    }
    static mode_t mode(const fs::path &path)
    {
        struct stat info {};
        EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }
    static std::string text(const fs::path &path)
    {
        std::ifstream in(path);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    fs::path state() const { return root_ / "state"; }
    void makeState(mode_t mode)
    {
        ASSERT_EQ(mkdir(state().c_str(), 0700), 0);
        ASSERT_EQ(chmod(state().c_str(), mode), 0);
    }

    fs::path start_, root_;
    std::string log_, problem_;
};

} // namespace

TEST_F(StateDirTest, AFolderOfOursOpenToOthersIsClosedAndSaidSo)
{
    makeState(0777);
    ASSERT_TRUE(enterStateDirectory(state(), false, problem_)) << problem_;
    EXPECT_EQ(mode(state()), 0700u);
    EXPECT_NE(log_.find("had mode 0777, open to other users: made it 0700"), std::string::npos)
        << log_;
    // A private one is used without a word.
    log_.clear();
    ASSERT_TRUE(enterStateDirectory(state(), false, problem_)) << problem_;
    EXPECT_EQ(log_, "");
    EXPECT_EQ(mode(state() / "CONFIG.ini"), 0600u);
}

TEST_F(StateDirTest, ACONFIGiniThatIsALinkIsReplacedNotFollowed)
{
    makeState(0700);
    const fs::path victim = root_ / "someone-elses.txt";
    std::ofstream(victim) << "precious\n";
    fs::create_symlink(victim, state() / "CONFIG.ini");
    ASSERT_TRUE(enterStateDirectory(state(), false, problem_)) << problem_;
    EXPECT_EQ(text(victim), "precious\n");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(state() / "CONFIG.ini")));
    EXPECT_NE(text(state() / "CONFIG.ini").find("Switch=0"), std::string::npos);
    EXPECT_EQ(mode(state() / "CONFIG.ini"), 0600u);
    EXPECT_NE(log_.find("CONFIG.ini in the state directory was a symbolic link: replaced"),
              std::string::npos)
        << log_;
}

TEST_F(StateDirTest, TheTraceFileIsMadePrivateAndALinkIsRefused)
{
    makeState(0700);
    ASSERT_TRUE(enterStateDirectory(state(), true, problem_)) << problem_;
    EXPECT_EQ(mode(state() / "DataLog.log"), 0600u);
    EXPECT_NE(text(state() / "CONFIG.ini").find("Switch=1"), std::string::npos);
    // One left readable by everybody: closed before a card's tracks go in.
    ASSERT_EQ(chmod((state() / "DataLog.log").c_str(), 0666), 0);
    ASSERT_TRUE(enterStateDirectory(state(), true, problem_)) << problem_;
    EXPECT_EQ(mode(state() / "DataLog.log"), 0600u);
    EXPECT_NE(log_.find("DataLog.log had mode 0666, readable by other users: made it 0600"),
              std::string::npos)
        << log_;
    // A link to another file: the tracks would land there.
    fs::remove(state() / "DataLog.log");
    const fs::path elsewhere = root_ / "world-readable.log";
    std::ofstream(elsewhere) << "";
    fs::create_symlink(elsewhere, state() / "DataLog.log");
    EXPECT_FALSE(enterStateDirectory(state(), true, problem_));
    EXPECT_NE(problem_.find("--trace: " + state().string() + "/DataLog.log is a symbolic link"),
              std::string::npos)
        << problem_;
    // Without --trace the file is not touched and nothing is refused.
    EXPECT_TRUE(enterStateDirectory(state(), false, problem_)) << problem_;
}

TEST_F(StateDirTest, AFolderOrTraceFileOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    makeState(0700);
    ASSERT_EQ(chown(state().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(enterStateDirectory(state(), false, problem_));
    EXPECT_NE(problem_.find("belongs to user 65534, not to this service's user 0: refusing"),
              std::string::npos)
        << problem_;
    EXPECT_FALSE(fs::exists(state() / "CONFIG.ini"));
    ASSERT_EQ(chown(state().c_str(), 0, 0), 0);
    std::ofstream(state() / "DataLog.log") << "";
    ASSERT_EQ(chown((state() / "DataLog.log").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(enterStateDirectory(state(), true, problem_));
    EXPECT_NE(problem_.find("DataLog.log belongs to user 65534"), std::string::npos) << problem_;
}

TEST_F(StateDirTest, ServicesStartingAtOnceInOneFolderAllStart)
{
    // Test runs and a user who starts a second service by mistake put
    // several in one folder at the same moment: each must find its
    // CONFIG.ini whole, none may fail for another's file half in place.
    makeState(0700);
    std::vector<pid_t> starters;
    for (int i = 0; i < 4; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string problem;
            for (int round = 0; round < 200; ++round)
                if (!enterStateDirectory(state(), false, problem) ||
                    text("CONFIG.ini").find("Switch=0\n") == std::string::npos)
                    _exit(1);
            _exit(0);
        }
        starters.push_back(pid);
    }
    for (pid_t pid : starters) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a start failed";
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(state()), fs::directory_iterator()), 1)
        << "only CONFIG.ini is left";
}
