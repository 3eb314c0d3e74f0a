// The table of stripectl's commands, the overall help and the dispatch:
// find the command, parse its options, check its argument count, run it
// with Ctrl-C cutting the driver call short.
#include "commands.h"

#include "interrupt.h"

#ifndef STRIPECTL_VERSION
#define STRIPECTL_VERSION "0"
#endif

namespace stripectl {

// One file each: cmd_<name>.cpp.
extern const Command kDoctorCommand;
extern const Command kPortsCommand;
extern const Command kReadCommand;
extern const Command kWriteCommand;
extern const Command kEncodeCommand;
extern const Command kInfoCommand;
extern const Command kResetCommand;

namespace {

// The set-up checks first: they are where a technician with a silent reader
// starts.
const Command *const kCommands[] = {&kDoctorCommand, &kPortsCommand, &kReadCommand,
                                    &kWriteCommand,  &kEncodeCommand, &kInfoCommand,
                                    &kResetCommand};

const Command *findCommand(const std::string &name)
{
    for (const Command *command : kCommands)
        if (name == command->name)
            return command;
    return nullptr;
}

void printCommandHelp(std::ostream &out, const Command &command)
{
    out << "Usage: stripectl " << command.synopsis << "\n\n"
        << command.details << "\nOptions:\n"
        << describeOptions(command.options) << "\n"
        << exitStatusHelp();
}

void printHelp(std::ostream &out)
{
    out << "Usage: stripectl COMMAND [OPTIONS]\n\n"
           "Reads, writes and checks magnetic-stripe cards on the reader/writer\n"
           "through the stripedrv driver.\n\nCommands:\n";
    for (const Command *command : kCommands) {
        std::string name = command->name;
        out << "  " << name << std::string(10 - name.size(), ' ') << command->summary << "\n";
    }
    out << "\n'stripectl COMMAND --help' describes a command and its options.\n"
           "The driver traces to DataLog.log in the current directory when\n"
           "CONFIG.ini there holds [DEVTRACE] Switch=1.\n\n"
        << exitStatusHelp();
}

// The problem with the number of positional arguments, or "".
std::string argumentProblem(const Command &command, const std::vector<std::string> &positional)
{
    int count = int(positional.size());
    if (count < command.minArgs)
        return command.tooFewArgs ? command.tooFewArgs : "too few arguments";
    if (count > command.maxArgs)
        return command.tooManyArgs ? command.tooManyArgs
                                   : "unexpected argument " + positional[command.maxArgs];
    return "";
}

} // namespace

const Command *parseCommandLine(const std::vector<std::string> &args, Context &ctx,
                                ParsedOptions &options, int &status)
{
    status = kExitOk;
    if (args.empty()) {
        printHelp(ctx.err);
        status = kExitUsage;
        return nullptr;
    }
    const std::string &name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        const Command *command = args.size() > 1 ? findCommand(args[1]) : nullptr;
        if (command)
            printCommandHelp(ctx.out, *command);
        else
            printHelp(ctx.out);
        return nullptr;
    }
    if (name == "--version") {
        ctx.out << "stripectl " << STRIPECTL_VERSION << " (driver " << SD_DLL_VERSION << ")\n";
        return nullptr;
    }
    const Command *command = findCommand(name);
    if (!command) {
        ctx.err << "stripectl: unknown command '" << name << "'\n"
                << "Try 'stripectl --help'.\n";
        status = kExitUsage;
        return nullptr;
    }
    ctx.command = command->name;
    std::string error;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (!parseOptions(rest, command->options, options, error)) {
        status = ctx.usage(error);
        return nullptr;
    }
    if (options.has("help")) {
        printCommandHelp(ctx.out, *command);
        return nullptr;
    }
    std::string problem = argumentProblem(*command, options.positional());
    if (problem.empty())
        problem = takeLine(options, ctx.line);
    if (!problem.empty()) {
        status = ctx.usage(problem);
        return nullptr;
    }
    return command;
}

int runStripectl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err)
{
    Context ctx{out, err, "", Line()};
    ParsedOptions options;
    int status = kExitOk;
    const Command *command = parseCommandLine(args, ctx, options, status);
    return command ? runInterruptible(command->run, ctx, options) : status;
}

} // namespace stripectl
