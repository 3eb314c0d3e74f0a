// Only the reader calls and the three port-state data symbols may be
// exported from stripedrv.so; everything else (g_Fd above all) is hidden.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

TEST(Exports, ExactlyTheListedSymbols)
{
    const std::set<std::string> want = {
        "TermOpen", "TermClose", "OpenCOM", "CloseCOM", "SendCom", "SendData", "SendDataEx",
        "Sendstr", "RecvData", "RecvDataEx", "RecvDataEx2", "RecvByte", "RecvByte1",
        "X_INIKeyString", "GetIniKeyString", "GetSysDate", "WriteLog", "WriteLog_Byte",
        "WriteLog_ByteEx", "GetBpStatus", "ReadMsre", "MSR_Reset", "MSR_ReadMag", "MSR_WriteMag",
        "MS_ReadCard", "MS_WriteCard", "GetVersionInfo", "ProbeDeviceId", "SelectExtPort",
        "IC_OpenPort", "IC_ClosePort", "InserStr", "DEV_CommCall", "MS_Cancel", // 34 functions
        "isPortOpened", "g_term", "g_oterm"};
    // Markers some linkers add to every shared object; they are not ours.
    const std::set<std::string> markers = {"_init", "_fini", "_edata", "_end", "__bss_start"};

    const std::string cmd = std::string("'") + SD_NM + "' -D --defined-only '" + SD_LIBRARY + "'";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> got;
    char line[512], name[400];
    while (fgets(line, sizeof line, p)) {
        // AddressSanitizer adds an ODR marker for every exported variable.
        if (sscanf(line, "%*s %*c %399s", name) != 1 || markers.count(name) ||
            std::string(name).rfind("__odr_asan", 0) == 0)
            continue;
        got.insert(name);
    }
    EXPECT_EQ(pclose(p), 0) << cmd;
    EXPECT_EQ(want.size(), 37u);
    EXPECT_EQ(got, want);
}
