// Only the reader calls and the three port-state data symbols may be
// exported from stripedrv.so; everything else (g_Fd above all) is hidden.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The dynamic symbols stripedrv.so defines, read with nm; `data` receives
// those that are objects rather than functions.
std::set<std::string> exportedSymbols(std::set<std::string> &data)
{
    const std::string cmd = std::string("'") + SD_NM + "' -D --defined-only '" + SD_LIBRARY + "'";
    std::set<std::string> names;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return names;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char type = 0;
        char name[400] = "";
        if (sscanf(line, "%*s %c %399s", &type, name) != 2)
            continue;
        // AddressSanitizer adds an ODR marker for every exported variable.
        if (std::string(name).rfind("__odr_asan", 0) == 0)
            continue;
        names.insert(name);
        if (type == 'B' || type == 'D')
            data.insert(name);
    }
    EXPECT_EQ(pclose(p), 0) << cmd;
    return names;
}

} // namespace

TEST(Exports, ExactlyTheListedSymbols)
{
    const std::set<std::string> functions = {
        "TermOpen",      "TermClose",      "OpenCOM",       "CloseCOM",
        "SendCom",       "SendData",       "SendDataEx",    "Sendstr",
        "RecvData",      "RecvDataEx",     "RecvDataEx2",   "RecvByte",
        "RecvByte1",     "X_INIKeyString", "GetIniKeyString", "GetSysDate",
        "WriteLog",      "WriteLog_Byte",  "WriteLog_ByteEx", "GetBpStatus",
        "ReadMsre",      "MSR_Reset",      "MSR_ReadMag",   "MSR_WriteMag",
        "MS_ReadCard",   "MS_WriteCard",   "GetVersionInfo", "ProbeDeviceId",
        "SelectExtPort", "IC_OpenPort",    "IC_ClosePort",  "InserStr",
        "DEV_CommCall",
    };
    const std::set<std::string> dataSymbols = {"isPortOpened", "g_term", "g_oterm"};
    ASSERT_EQ(functions.size(), 33u);

    std::set<std::string> data;
    std::set<std::string> got = exportedSymbols(data);
    // Markers some linkers add to every shared object; they are not ours.
    for (const char *marker : {"_init", "_fini", "_edata", "_end", "__bss_start"})
        got.erase(marker), data.erase(marker);

    std::set<std::string> want = functions;
    want.insert(dataSymbols.begin(), dataSymbols.end());
    for (const std::string &name : want)
        EXPECT_TRUE(got.count(name)) << "not exported: " << name;
    for (const std::string &name : got)
        EXPECT_TRUE(want.count(name)) << "exported but not part of the interface: " << name;
    EXPECT_EQ(data, dataSymbols);
}
