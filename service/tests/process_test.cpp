// stripedrvd as a program, started the way a user unit starts it: its
// working directory, the driver's trace and the demo page found from the
// build folder. The simulated reader runs in this process on a
// pseudo-terminal; the service is the real binary.
#include "harness.h"

#include "sim_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace svctest;
namespace fs = std::filesystem;

namespace {

// A folder tree for one run: `start` (the folder the service is started
// from) and `home`, both holding a CONFIG.ini that switches the trace on.
class Scene {
public:
    Scene()
    {
        char pattern[] = "/tmp/sdproc.XXXXXX";
        root_ = mkdtemp(pattern);
        for (const char *dir : {"start", "home"}) {
            fs::create_directory(root_ / dir);
            std::ofstream(root_ / dir / "CONFIG.ini") << "[DEVTRACE]\nSwitch=1\n";
        }
    }
    ~Scene() { fs::remove_all(root_); }
    fs::path path(const std::string &below) const { return root_ / below; }
    fs::path stateDir() const { return root_ / "home/.local/state/stripedrvd"; }
    // Every DataLog.log in the tree.
    std::vector<fs::path> traces() const
    {
        std::vector<fs::path> found;
        for (const auto &entry : fs::recursive_directory_iterator(root_))
            if (entry.path().filename() == "DataLog.log")
                found.push_back(entry.path());
        return found;
    }

private:
    fs::path root_;
};

// The service as a child process; its standard error kept.
class Service {
public:
    Service(const Scene &scene, const std::string &reader, std::vector<std::string> extra)
    {
        std::vector<std::string> args = {STRIPEDRVD_BINARY, "--reader", reader, "--listen",
                                         "127.0.0.1:0", "--config", "/dev/null"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> env = {"HOME=" + scene.path("home").string(), "PATH=/usr/bin:/bin"};
        std::vector<char *> argv, envp;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string start = scene.path("start").string();
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], 2);
            close(pipeFds[0]);
            if (chdir(start.c_str()) == 0)
                execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(pipeFds[1]);
        err_ = pipeFds[0];
    }
    ~Service()
    {
        stop();
        close(err_);
    }
    // Reads standard error until a line holds `text` (or 5 s pass).
    bool said(const std::string &text)
    {
        auto end = std::chrono::steady_clock::now() + 5s;
        while (log_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{err_, POLLIN, 0};
            if (left <= 0ms || poll(&p, 1, int(left.count())) <= 0)
                return false;
            char chunk[1024];
            ssize_t got = read(err_, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            log_.append(chunk, size_t(got));
        }
        return true;
    }
    unsigned short port()
    {
        if (!said("listening on 127.0.0.1:") || !said(", reader"))
            return 0;
        size_t at = log_.find("listening on 127.0.0.1:") + 23;
        return static_cast<unsigned short>(std::stoul(log_.substr(at)));
    }
    // Sends the signal and waits for the end; the wait status.
    int stop(int signal = SIGTERM)
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    const std::string &log() const { return log_; }

private:
    pid_t pid_ = -1;
    int err_ = -1;
    std::string log_;
};

// Asks the service for the reader's identity: commands go over the line.
void askInfo(unsigned short port)
{
    Client c(port);
    c.send(json{{"id", 1}, {"op", "info"}});
    auto answer = c.answerTo(1);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["ok"], true);
}

} // namespace

TEST(Process, NoTraceAnywhereWithoutTraceWhateverCONFIGiniSays)
{
    Scene scene;
    sdtest::InProcessReader reader(false);
    Service service(scene, reader.port(), {});
    const unsigned short port = service.port();
    ASSERT_NE(port, 0) << service.log();
    askInfo(port);
#ifdef STRIPEDRVD_TEST_BUILD_TREE_WWW
    // From the build folder, the demo page comes from the source tree.
    EXPECT_EQ(httpStatus(httpGet(port, "/")), 200);
#endif
    service.stop();
    EXPECT_TRUE(scene.traces().empty());
    EXPECT_TRUE(fs::is_directory(scene.stateDir()));
    EXPECT_EQ(fs::status(scene.stateDir()).permissions() & fs::perms::all, fs::perms::owner_all);
    // No warning; a package build, which has no fallback to the source
    // tree, may only say that the installed page is not there yet.
    std::istringstream lines(service.log());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("<4>", 0) == 0) {
            EXPECT_NE(line.find("the demo page's folder"), std::string::npos) << line;
        }
    }
}

TEST(Process, TraceWarnsAndWritesInTheStateDirectoryOnly)
{
    Scene scene;
    sdtest::InProcessReader reader(false);
    Service service(scene, reader.port(), {"--trace"});
    const unsigned short port = service.port();
    ASSERT_NE(port, 0) << service.log();
    EXPECT_NE(service.log().find("<4>stripedrvd: --trace"), std::string::npos) << service.log();
    askInfo(port);
    service.stop();
    EXPECT_EQ(scene.traces(), std::vector<fs::path>{scene.stateDir() / "DataLog.log"});
}

TEST(Process, SIGHUPStopsItCleanlyAsSIGTERMDoes)
{
    Scene scene;
    sdtest::InProcessReader reader(false);
    Service service(scene, reader.port(), {});
    ASSERT_NE(service.port(), 0) << service.log();
    const int status = service.stop(SIGHUP);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(service.said("stopping (SIGHUP)")) << service.log();
}

TEST(Process, ADeviceThatIsNoTerminalIsRefusedAsTheReader)
{
    Scene scene;
    for (const char *name : {"null", "zero", "tty", "/dev/null"}) {
        Service service(scene, name, {});
        EXPECT_TRUE(service.said("names no tty")) << name << ": " << service.log();
        const int status = service.stop(0); // no signal: waits for its end
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << name << ": " << status;
    }
}
