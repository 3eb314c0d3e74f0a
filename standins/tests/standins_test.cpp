// The stand-in IC and ID card libraries, loaded the way the console loads
// them: by file, with the function looked up by its plain name.
#include "chipdrv.h"
#include "idcarddrv.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

void *symbol(const char *file, const char *name)
{
    void *h = dlopen(file, RTLD_LAZY);
    return h ? dlsym(h, name) : nullptr;
}

// The parameter names the library.
class StandinTest : public ::testing::TestWithParam<const char *>
{
protected:
    void SetUp() override { std::memset(info, 'x', sizeof info); }
    // The library's call with the console's other arguments; `broken`
    // passes one null pointer.
    int call(const char *port, bool broken = false)
    {
        if (*GetParam() == 'i')
            return reinterpret_cast<decltype(&ID_GetInfo)>(symbol(IDCARDDRV_PATH, "ID_GetInfo"))(
                port, "", 9600, 20, broken ? nullptr : "./standin-photo.jpg", "", "", "", info);
        int type = 3, len = 99;
        int rc = reinterpret_cast<decltype(&IC_GetInfo)>(symbol(CHIPDRV_PATH, "IC_GetInfo"))(
            port, "", 9600, 20, broken ? nullptr : &type, "", "A", &len, info);
        EXPECT_EQ(len, 0) << "information length of an empty text";
        return rc;
    }
    char info[2048];
};

TEST(StandinLibraries, ExportOnlyTheirReaderCall)
{
    EXPECT_NE(symbol(CHIPDRV_PATH, "IC_GetInfo"), nullptr);
    EXPECT_NE(symbol(IDCARDDRV_PATH, "ID_GetInfo"), nullptr);
    EXPECT_EQ(symbol(CHIPDRV_PATH, "standin_port_opens"), nullptr);
    EXPECT_EQ(symbol(IDCARDDRV_PATH, "standin_port_opens"), nullptr);
}

TEST_P(StandinTest, NullArgumentBeforeThePortThenPortsThatCannotBeOpened)
{
    EXPECT_EQ(call("no-such-tty-here", true), -7);
    EXPECT_STREQ(info, "");
    std::memset(info, 'x', sizeof info);
    EXPECT_EQ(call("no-such-tty-here"), -3);
    EXPECT_STREQ(info, "");
    EXPECT_EQ(call(std::string(300, 'p').c_str()), -3);
}

TEST_P(StandinTest, OpenPortReportsNoReaderSendsNothingAndClosesIt)
{
    int master = -1, slave = -1;
    char path[128];
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(call(path + 5), -20);  // the name below /dev/
    EXPECT_STREQ(info, "");
    EXPECT_NE(access("standin-photo.jpg", F_OK), 0) << "a photo was written";
    char c;
    EXPECT_TRUE(read(master, &c, 1) < 0 && errno == EAGAIN) << "something was sent";
    // With our end closed too, the line hangs up unless the port was left open.
    close(slave);
    EXPECT_TRUE(read(master, &c, 1) < 0 && errno == EIO) << "the port was left open";
    close(master);
}

INSTANTIATE_TEST_SUITE_P(Both, StandinTest, ::testing::Values("chipdrv", "idcarddrv"),
                         [](const auto &p) { return std::string(p.param); });

}  // namespace
