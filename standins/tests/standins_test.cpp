// The stand-in IC and ID card libraries, loaded the way the console loads
// them: by file, with the function looked up by its plain name.
#include "chipdrv.h"
#include "idcarddrv.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

int openDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        ++n;
    if (d)
        closedir(d);
    return n;
}

// A pseudo-terminal that can be opened but on which nothing answers: as
// close as a test gets to a port with some other device behind it.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty()
    {
        char path[128];
        if (openpty(&master, &slave, path, nullptr, nullptr) == 0)
            name = std::string(path).substr(5);  // strip "/dev/"
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~Pty()
    {
        close(master);
        close(slave);
    }
    bool nothingSent() const
    {
        char c;
        return read(master, &c, 1) < 0 && errno == EAGAIN;
    }
};

template <typename Fn>
Fn resolve(const char *file, const char *name)
{
    void *h = dlopen(file, RTLD_LAZY);
    EXPECT_NE(h, nullptr) << dlerror();
    return h ? reinterpret_cast<Fn>(dlsym(h, name)) : nullptr;
}

using IcFn = decltype(&IC_GetInfo);
using IdFn = decltype(&ID_GetInfo);

TEST(StandinLibraries, ExportOnlyTheirReaderCall)
{
    ASSERT_NE(resolve<IcFn>(CHIPDRV_PATH, "IC_GetInfo"), nullptr);
    ASSERT_NE(resolve<IdFn>(IDCARDDRV_PATH, "ID_GetInfo"), nullptr);
    void *h = dlopen(CHIPDRV_PATH, RTLD_LAZY);
    EXPECT_EQ(dlsym(h, "standin_port_opens"), nullptr);
    h = dlopen(IDCARDDRV_PATH, RTLD_LAZY);
    EXPECT_EQ(dlsym(h, "standin_port_opens"), nullptr);
}

TEST(StandinChip, ChecksArgumentsBeforeThePort)
{
    IcFn ic = resolve<IcFn>(CHIPDRV_PATH, "IC_GetInfo");
    ASSERT_NE(ic, nullptr);
    int type = 3, len = 99;
    char info[512];
    std::memset(info, 'x', sizeof info);
    EXPECT_EQ(ic("tty-none", "", 9600, 20, nullptr, "", "A", &len, info), CHIPDRV_BAD_ARGUMENT);
    EXPECT_STREQ(info, "");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ic(nullptr, "", 9600, 20, &type, "", "A", &len, info), CHIPDRV_BAD_ARGUMENT);
    EXPECT_EQ(ic("tty-none", "", 9600, 20, &type, "", "A", nullptr, info), CHIPDRV_BAD_ARGUMENT);
    EXPECT_EQ(ic("tty-none", "", 0, 20, &type, "", "A", &len, info), CHIPDRV_BAD_ARGUMENT);
    EXPECT_EQ(ic("tty-none", "", 9600, 20, &type, "", "A", &len, nullptr), CHIPDRV_BAD_ARGUMENT);
}

TEST(StandinChip, PortThatCannotBeOpenedGivesMinus3)
{
    IcFn ic = resolve<IcFn>(CHIPDRV_PATH, "IC_GetInfo");
    ASSERT_NE(ic, nullptr);
    int type = 3, len = 99;
    char info[512];
    std::memset(info, 'x', sizeof info);
    EXPECT_EQ(ic("no-such-tty-here", "", 9600, 20, &type, "", "A", &len, info), -3);
    EXPECT_STREQ(info, "");
    EXPECT_EQ(ic(std::string(300, 'p').c_str(), "", 9600, 20, &type, "", "A", &len, info), -3);
}

TEST(StandinChip, OpenPortReportsNoReaderAndNoData)
{
    IcFn ic = resolve<IcFn>(CHIPDRV_PATH, "IC_GetInfo");
    ASSERT_NE(ic, nullptr);
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    int type = 3, len = 99;
    char info[512];
    std::memset(info, 'x', sizeof info);
    int before = openDescriptors();
    EXPECT_EQ(ic(pty.name.c_str(), "", 9600, 20, &type, "", "A", &len, info), CHIPDRV_NO_READER);
    EXPECT_STREQ(info, "");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(openDescriptors(), before) << "the port was left open";
    EXPECT_TRUE(pty.nothingSent());
}

TEST(StandinId, ChecksArgumentsBeforeThePort)
{
    IdFn id = resolve<IdFn>(IDCARDDRV_PATH, "ID_GetInfo");
    ASSERT_NE(id, nullptr);
    char info[2048];
    std::memset(info, 'x', sizeof info);
    EXPECT_EQ(id("tty-none", "", 9600, 20, nullptr, "", "", "", info), IDCARDDRV_BAD_ARGUMENT);
    EXPECT_STREQ(info, "");
    EXPECT_EQ(id("tty-none", nullptr, 9600, 20, "./photo.jpg", "", "", "", info), IDCARDDRV_BAD_ARGUMENT);
    EXPECT_EQ(id("tty-none", "", 9600, -1, "./photo.jpg", "", "", "", info), IDCARDDRV_BAD_ARGUMENT);
    EXPECT_EQ(id("tty-none", "", 9600, 20, "./photo.jpg", "", "", "", nullptr), IDCARDDRV_BAD_ARGUMENT);
}

TEST(StandinId, PortThatCannotBeOpenedGivesMinus3)
{
    IdFn id = resolve<IdFn>(IDCARDDRV_PATH, "ID_GetInfo");
    ASSERT_NE(id, nullptr);
    char info[2048];
    std::memset(info, 'x', sizeof info);
    EXPECT_EQ(id("no-such-tty-here", "", 9600, 20, "./photo.jpg", "", "", "", info), -3);
    EXPECT_STREQ(info, "");
}

TEST(StandinId, OpenPortReportsNoReaderAndWritesNoPhoto)
{
    IdFn id = resolve<IdFn>(IDCARDDRV_PATH, "ID_GetInfo");
    ASSERT_NE(id, nullptr);
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    char dir[] = "/tmp/standin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string photo = std::string(dir) + "/photo.jpg";
    char info[2048];
    std::memset(info, 'x', sizeof info);
    int before = openDescriptors();
    EXPECT_EQ(id(pty.name.c_str(), "", 9600, 20, photo.c_str(), "", "", "", info), IDCARDDRV_NO_READER);
    EXPECT_STREQ(info, "");
    EXPECT_EQ(openDescriptors(), before) << "the port was left open";
    EXPECT_NE(access(photo.c_str(), F_OK), 0) << "a photo was written";
    EXPECT_TRUE(pty.nothingSent());
    rmdir(dir);
}

}  // namespace
