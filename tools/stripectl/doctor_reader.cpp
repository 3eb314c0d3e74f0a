// The checks of `stripectl doctor` that talk to the reader (only questions:
// nothing is ever written to a card) and look at the trace settings.
#include "doctor.h"

#include "command.h"
#include "identity.h"
#include "probe.h"
#include "stripedrv.h"
#include "trace.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace stripectl {

namespace {

std::string ms(long value) { return std::to_string(value) + " ms"; }

std::string failedQuestion(const std::string &question, const Answer &answer, int baud)
{
    if (answer.code == SD_ERR_TIMEOUT)
        return "no answer to the " + question + " at " + std::to_string(baud) + " baud";
    return "the " + question + " failed: " + queryMessage(answer.code) + " [code " +
           std::to_string(answer.code) + "]";
}

const char *const kSilentFix =
    "check that the reader has power and its cable is in, and the speed (--baud); "
    "then stripectl doctor again";

// Version, identity when the version does not settle the model, status after
// a reset; fills `text` or returns a failed or warning check.
Check askReader(const Target &target, int baud)
{
    Check check{"reader", Verdict::Passed, "", ""};
    int code = openLine(target.port, baud);
    if (code != SD_OK) {
        closeLine();
        return {"reader", Verdict::Failed,
                "opening " + target.node + " failed: " + queryMessage(code) + " [code " +
                    std::to_string(code) + "]",
                "see \"access\" above"};
    }
    Answer version = askVersion();
    if (version.code != SD_OK) {
        closeLine();
        return {"reader", Verdict::Failed, failedQuestion("version request", version, baud),
                kSilentFix};
    }
    check.text = "firmware " + version.text + " (" + ms(version.roundTripMs) + ")";
    if (sdident::needsIdentityRecord(version.text.c_str())) {
        Answer identity = askIdentity();
        if (identity.code != SD_OK) {
            closeLine();
            return {"reader", Verdict::Failed,
                    check.text + ", but " + failedQuestion("identity request", identity, baud),
                    identity.code == SD_ERR_DATA
                        ? "another device may answer on this line: stripectl ports shows them"
                        : kSilentFix};
        }
        check.text += ", identity " + identity.text + " (" + ms(identity.roundTripMs) + ")";
    } else {
        check.text += std::string(", model ") + sdident::modelFromFirmware(version.text.c_str()) +
                      " (no identity record)";
    }
    Answer status = askStatusAfterReset();
    closeLine();
    if (status.code < 0) {
        check.verdict = Verdict::Warning;
        check.text += "; status after a reset: " +
                      (status.text.empty() ? "none" : "\"" + status.text + "\"") + " [code " +
                      std::to_string(status.code) + "]";
        check.fix = "stripectl reset, then stripectl doctor again; if it stays, replug the reader";
    } else {
        check.text += "; status after a reset \"" + status.text + "\" (" +
                      ms(status.roundTripMs) + ")";
    }
    check.text += " at " + std::to_string(baud) + " baud";
    return check;
}

// The trace files (DataLog.log) in the folders where a program of ours
// writes them.
std::vector<std::string> traceFilesFound()
{
    std::vector<std::string> found;
    for (const std::string &folder : sdcustody::traceFolders()) {
        const std::string log = folder + "/" SD_TRACE_FILE;
        struct stat st;
        if (stat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back(log);
    }
    return found;
}

std::string joined(const std::vector<std::string> &items, const char *separator)
{
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

} // namespace

void checkReader(const Target &target, int baud, std::vector<Check> &checks)
{
    if (target.port.empty())
        checks.push_back({"reader", Verdict::Warning, "not asked: no line to ask", ""});
    else if (target.held)
        checks.push_back({"reader", Verdict::Warning,
                          "not asked: another program holds the line (see \"holders\")", ""});
    else if (!target.openable)
        checks.push_back({"reader", Verdict::Warning,
                          "not asked: this user may not open the line (see \"access\")", ""});
    else
        checks.push_back(askReader(target, baud));
}

// A switched-on trace, or a trace file left anywhere a program of ours
// writes one, is a file of full card data: a failure, with the fix.
void checkTrace(std::vector<Check> &checks)
{
    const sdcustody::TraceSetting trace = sdcustody::traceIn(sdcustody::workingDirectory());
    const std::vector<std::string> logs = traceFilesFound();
    if (trace.on) {
        std::string fix = "switch it off (Switch=0 under [DEVTRACE] in " + trace.config + ")";
        if (!logs.empty())
            fix += ", then delete the trace: rm " + joined(logs, " ");
        checks.push_back({"trace", Verdict::Failed,
                          "tracing is on: " + trace.log +
                              " gets the full data of every card read or written, in plain text",
                          fix});
    } else if (!logs.empty()) {
        checks.push_back({"trace", Verdict::Failed,
                          "tracing is off, but trace files with card data in plain text are "
                          "left: " + joined(logs, ", "),
                          "delete them once no fault hunt needs them: rm " + joined(logs, " ")});
    } else {
        checks.push_back({"trace", Verdict::Passed,
                          std::string("tracing is off (") +
                              (access(trace.config.c_str(), F_OK) == 0 ? "" : "no ") +
                              SD_CONFIG_FILE + " switching it on in " +
                              sdcustody::workingDirectory() + "), no " SD_TRACE_FILE " left in " +
                              joined(sdcustody::traceFolders(), ", "),
                          ""});
    }
}

} // namespace stripectl
