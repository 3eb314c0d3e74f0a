// stripectl reset: sends the reader its reset command.
#include "command.h"

namespace stripectl {

static int runReset(Context &ctx, const ParsedOptions &);

extern const Command kResetCommand = {
    "reset", 0, 0, nullptr, nullptr,
    "reset [OPTIONS]", "send the reset command to the reader",
    R"(Opens the port, sends the reader's reset command (ESC 0) and closes it.
)",
    {kPortOption, kBaudOption, kQuietOption,
     kHelpOption},
    runReset};

static int runReset(Context &ctx, const ParsedOptions &)
{
    const Line &line = ctx.line;

    int code = OpenCOM(line.port.c_str(), line.baud);
    if (code != SD_OK) {
        CloseCOM();
        return ctx.queryFailure("opening " + devicePath(line) + " failed", code);
    }
    code = MSR_Reset();
    CloseCOM();
    if (code != SD_OK) {
        ctx.err << "stripectl reset: the reset command could not be sent to " << devicePath(line)
                << " [code " << code << "]\n";
        return kExitFailed;
    }
    ctx.out << "reset sent to " << devicePath(line) << "\n";
    return kExitOk;
}

} // namespace stripectl
