#include "context.h"

#include "json.h"

#include "exit_status.h"
#include "holders.h"

namespace stripectl {

int Context::usage(const std::string &problem) const
{
    err << "stripectl " << command << ": " << problem << "\n"
        << "Try 'stripectl " << command << " --help'.\n";
    return kExitUsage;
}

void Context::prompt(const Line &line, const std::string &text) const
{
    if (!line.quiet)
        err << text << std::flush;
}

int Context::failure(const std::string &what, int code) const
{
    return report(what, code, codeMessage(code));
}

int Context::queryFailure(const std::string &what, int code) const
{
    return report(what, code, queryMessage(code));
}

int Context::report(const std::string &what, int code, const std::string &message) const
{
    // Who has the reader when the driver found it held, or "".
    const std::string holders = code == SD_ERR_BUSY && !line.port.empty()
                                    ? sdholders::describeBusyHolders("/dev/" + line.port)
                                    : "";
    err << "stripectl " << command << ": " << what << ": " << message
        << (holders.empty() ? "" : ": " + holders) << " [code " << code << "]\n";
    ExitStatus status = exitStatusForCode(code);
    // Most lines that cannot be opened come from the set-up (wrong name,
    // missing group, the braille daemon, another program): say where to look.
    if (status == kExitPort)
        err << sdmsg::doctorHint() << "\n";
    return status;
}

std::string jsonText(const nlohmann::ordered_json &value)
{
    // Track texts come from the reader and may hold any byte: never let an
    // odd byte stop the output.
    // Printed into room reserved at once: a read's answer holds the card.
    return sdcustody::dumpJson(value);
}

} // namespace stripectl
