// stripectl doctor: every check of the reader's set-up in order, one line
// each, with what to type where one fails. It only looks and asks: it never
// writes a card, and sends nothing to a line another program holds.
#include "command.h"
#include "doctor.h"

#include <nlohmann/json.hpp>

namespace stripectl {

static int runDoctor(Context &ctx, const ParsedOptions &options);

extern const Command kDoctorCommand = {
    "doctor", 0, 0, nullptr, nullptr,
    "doctor [--port NAME] [--baud RATE] [--json]", "check why a reader does not answer",
    R"(Checks, in order, one line each (passed, warning or failed, with the fix
to type): the reader's adapter (or the --port line) is there, this user
may open it, the udev rule is installed and applied, the braille daemon
and ModemManager leave it alone, no other program holds it, the reader
answers its version and identity requests and its status after a reset,
and the trace settings of the current directory. It never writes a card
and sends nothing to a line another program holds. Exit status 0 when
nothing failed, 1 when something did, 2 on a bad command line.
)",
    {{"port", "NAME", "check this line instead of the reader's adapter udev finds"},
     kBaudOption, kJsonOption, kHelpOption},
    runDoctor};

namespace {


using json = nlohmann::ordered_json;

void printCheck(std::ostream &out, const Check &check)
{
    std::string label = std::string("[") + verdictName(check.verdict) + "]";
    out << label << std::string(10 - label.size(), ' ') << check.name << ": " << check.text
        << "\n";
    if (!check.fix.empty() && check.verdict != Verdict::Passed)
        out << "          fix: " << check.fix << "\n";
}

json checksJson(const std::vector<Check> &checks)
{
    json list = json::array();
    for (const Check &check : checks) {
        json entry = {{"name", check.name},
                      {"result", verdictName(check.verdict)},
                      {"text", check.text}};
        if (!check.fix.empty())
            entry["fix"] = check.fix;
        list.push_back(entry);
    }
    return list;
}

} // namespace

static int runDoctor(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;
    DoctorSettings settings;
    settings.port = options.has("port") ? line.port : "";
    settings.baud = line.baud;

    const Host host = Host::fromEnvironment();
    std::vector<Check> checks;
    Target target;
    const bool json_ = options.has("json");
    const std::vector<SerialPort> ports = listSerialPorts(); // target points into it
    checkSetup(host, ports, settings, target, checks);
    checkReader(target, settings.baud, checks);
    checkTrace(checks);

    int failed = 0, warnings = 0;
    for (const Check &check : checks) {
        failed += check.verdict == Verdict::Failed;
        warnings += check.verdict == Verdict::Warning;
    }
    if (json_) {
        json answer = {{"port", target.port},
                       {"checks", checksJson(checks)},
                       {"failed", failed},
                       {"warnings", warnings}};
        ctx.out << jsonText(answer) << "\n";
    } else {
        for (const Check &check : checks)
            printCheck(ctx.out, check);
        ctx.out << (failed ? std::to_string(failed) + " failed" : std::string("nothing failed"))
            << ", " << warnings << (warnings == 1 ? " warning" : " warnings") << "\n";
    }
    return failed ? kExitFailed : kExitOk;
}

const char *verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Passed: return "passed";
    case Verdict::Warning: return "warning";
    default: return "failed";
    }
}


} // namespace stripectl
