// stripectl info: the reader's firmware version, serial number, production
// date and model, as the driver's device-information call reports them.
#include "command.h"
#include "identity.h"

namespace stripectl {

static int runInfo(Context &ctx, const ParsedOptions &options);

extern const Command kInfoCommand = {
    "info", 0, 0, nullptr, nullptr,
    "info [OPTIONS]", "show the reader's firmware, serial number and model",
    R"(Asks the reader for its firmware version and, unless the version settles
the model, its identity record, and prints firmware version, serial
number, production date and model. --json prints the same keys as the
driver's device-information answer (ErrorCode, DeviceVersion, DeviceSN,
ProductionDate, DeviceModel, ...).
)",
    {kPortOption, kBaudOption, kJsonOption,
     kQuietOption, kHelpOption},
    runInfo};

struct ReaderInfo {
    std::string firmware;
    std::string identityRecord;
    char serial[sdident::kSerialBuf] = "";
    char date[sdident::kDateBuf] = "";
    std::string model;
};

// Asks the reader itself (version, then the identity record when the
// version does not settle the model) over one open line.
static int queryReader(const Line &line, ReaderInfo &info, std::string &step)
{
    step = "opening " + devicePath(line);
    int code = OpenCOM(line.port.c_str(), line.baud);
    if (code == SD_OK) {
        step = "asking for the firmware version";
        char version[SD_VERSION_MAX + 1] = "";
        code = GetVersionInfo(version);
        if (code == SD_OK) {
            info.firmware = version;
            info.model = sdident::modelFromFirmware(version);
        }
        if (code == SD_OK && sdident::needsIdentityRecord(version)) {
            step = "asking for the identity record";
            char record[SD_IDENTITY_MAX + 1] = "";
            code = ProbeDeviceId(record);
            if (code == SD_OK) {
                info.identityRecord = record;
                sdident::splitIdentityRecord(record, info.serial, sizeof info.serial, info.date,
                                             sizeof info.date);
            }
        }
    }
    CloseCOM();
    return code;
}

static int runInfo(Context &ctx, const ParsedOptions &options)
{
    const Line &line = ctx.line;

    ReaderInfo info;
    std::string step;
    int code = queryReader(line, info, step);
    if (options.has("json")) {
        // The keys of the driver's device-information answer.
        nlohmann::ordered_json answer;
        if (code == SD_OK) {
            answer = {{"ErrorCode", "0"},
                      {"ErrorMessage", "success"},
                      {"DeviceBrand", "QOVA"},
                      {"DllVersion", SD_DLL_VERSION},
                      {"DeviceVersion", info.firmware},
                      {"DeviceSN", info.serial},
                      {"ProductionDate", info.date},
                      {"DeviceModel", info.model}};
        } else {
            answer = {{"ErrorCode", std::to_string(code)},
                      {"ErrorMessage", step + ": " + queryMessage(code)}};
        }
        ctx.out << jsonText(answer) << "\n";
    }
    if (code != SD_OK)
        return ctx.queryFailure(step + " failed", code);
    if (!options.has("json")) {
        ctx.out << "port:             " << devicePath(line) << "\n"
                << "firmware version: " << info.firmware << "\n"
                << "serial number:    " << info.serial << "\n"
                << "production date:  " << info.date << "\n"
                << "model:            " << info.model << "\n";
        if (!info.identityRecord.empty())
            ctx.out << "identity record:  " << info.identityRecord << "\n";
    }
    return kExitOk;
}

} // namespace stripectl
