// stripectl reset: sends the reader its reset command.
#include "common.h"

namespace stripectl {

namespace {

const std::vector<OptionDef> kResetOptions = {kPortOption, kBaudOption, kQuietOption,
                                              kHelpOption};

int runReset(Context &ctx, const ParsedOptions &options)
{
    Line line;
    std::string problem = takeLine(options, line);
    if (!problem.empty())
        return ctx.usage(problem);

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

} // namespace

extern const Command kResetCommand = {
    "reset", 0, 0, nullptr, nullptr,
    "reset [OPTIONS]", "send the reset command to the reader",
    "Opens the port, sends the reader's reset command (ESC 0) and closes it.\n",
    &kResetOptions, runReset};

} // namespace stripectl
