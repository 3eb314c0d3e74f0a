// stripectl's command line: the input is the argument vector, the arguments
// separated by NUL bytes. Everything short of running a command is taken:
// help and version, the command's options, its argument count and the line
// settings. Nothing touches a reader.
//
// Besides the sanitizers it checks what scripts rely on: a command line that
// is answered at once ends with 0 and text on standard output, or with 2 and
// the reason on standard error and nothing on standard output; one that is
// taken gives a command with settings inside their limits and writes nothing.
#include "commands.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> argumentsOf(const uint8_t *data, size_t size)
{
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0')
            args.emplace_back();
        else
            args.back() += char(data[i]);
    }
    if (size == 0)
        args.clear();
    return args;
}

void expect(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace stripectl;
    const std::vector<std::string> args = argumentsOf(data, size);
    std::ostringstream out, err;
    Context ctx{out, err, "", Line()};
    ParsedOptions options;
    int status = -1;
    const Command *command = parseCommandLine(args, ctx, options, status);
    if (command) {
        int count = int(options.positional().size());
        expect(out.str().empty() && err.str().empty());
        expect(count >= command->minArgs && count <= command->maxArgs);
        const int rates[] = {SD_BAUD_RATES};
        expect(std::find(std::begin(rates), std::end(rates), ctx.line.baud) != std::end(rates));
        expect(!ctx.line.port.empty());
        expect(ctx.line.timeout >= 0 && ctx.line.timeout <= 600);
    } else if (status == kExitOk) {
        expect(!out.str().empty() && err.str().empty());
    } else {
        expect(status == kExitUsage && !err.str().empty() && out.str().empty());
    }
    return 0;
}
