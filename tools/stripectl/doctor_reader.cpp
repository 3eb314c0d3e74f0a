// The checks of `stripectl doctor` that talk to the reader (only questions:
// nothing is ever written to a card) and look at the trace settings.
#include "doctor.h"

#include "command.h"
#include "identity.h"
#include "probe.h"
#include "stripedrv.h"

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

std::string workingDirectory()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? buffer : ".";
}

bool traceSwitchedOn()
{
    // Read the way the driver reads it, with the driver's own lookup.
    char value[1024] = "";
    return X_INIKeyString(SD_CONFIG_FILE, "DEVTRACE", "Switch", value, "0") == 1 &&
           std::atoi(value) != 0;
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

void checkTrace(std::vector<Check> &checks)
{
    const std::string dir = workingDirectory();
    const std::string log = dir + "/" + SD_TRACE_FILE;
    struct stat st;
    const bool logExists = stat(SD_TRACE_FILE, &st) == 0;
    const bool open = logExists && (st.st_mode & 077) != 0;
    char mode[8] = "";
    if (logExists)
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    const std::string chmodFix = "chmod 600 " + log + " (it holds track data in plain)";

    if (access(SD_CONFIG_FILE, F_OK) != 0 || !traceSwitchedOn()) {
        std::string text = std::string("tracing is off (") +
                           (access(SD_CONFIG_FILE, F_OK) == 0 ? "" : "no ") + SD_CONFIG_FILE +
                           " switching it on in " + dir + ")";
        if (open)
            checks.push_back({"trace", Verdict::Warning,
                              text + "; an old " + log + " is mode " + mode, chmodFix});
        else
            checks.push_back({"trace", Verdict::Passed, text, ""});
        return;
    }
    const bool writable = logExists ? access(SD_TRACE_FILE, W_OK) == 0 : access(".", W_OK) == 0;
    if (!writable)
        checks.push_back({"trace", Verdict::Failed,
                          "tracing is on, but " + log + " cannot be written",
                          "run from a directory this user may write to, or switch the trace "
                          "off in " + dir + "/" + SD_CONFIG_FILE});
    else if (open)
        checks.push_back({"trace", Verdict::Warning,
                          "tracing is on into " + log + ", which is mode " + mode, chmodFix});
    else
        checks.push_back({"trace", Verdict::Passed,
                          "tracing is on into " + log +
                              (logExists ? " (mode 0600)" : " (created mode 0600)"),
                          ""});
}

} // namespace stripectl
