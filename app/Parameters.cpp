#include "Parameters.h"

#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "UpdateServerRequest.h"
#include "aDirectory.h"

const char* const kDefaultServerHost = kDefaultUpdateServerHost;
const char* const kDefaultServerUrl = kDefaultUpdateServerUrl;

const OptionRow g_rgOptions[] = {
    {1, "-B", 0},  {1, "-L", 0},  {1, "-D", 0},  {1, "-G", 0},         {1, "-I", 0},
    {1, "-U", 0},  {1, "-OVERRIDE", 0},          {1, "-N", 0},         {1, "-Y", 0},
    {1, "-C", 0},  {1, "-J", 0},  {0, "-h", 0},  {0, "-H", 0},         {2, "-n", 0},
    {2, "-X", 1},  {2, "-Z", 1},  {2, "-m", 1},  {2, "-i", 1},         {2, "-b", 1},
    {2, "-d", 1},  {2, "-t", 1},  {2, "-f", 1},  {2, "-r", 1},         {2, "-s", 1},
    {2, "-o", 1},  {2, "-e", 0},  {2, "-l", 1},  {2, "-k", 1},         {2, "-u", 1},
    {0, "--help", 0},
    {-1, nullptr, 0},
};

namespace {

struct CommandBit {
    const char* text;
    uint32_t bit;
};

const CommandBit kCommandBits[] = {
    {"-B", CMD_LIST_BUILDS}, {"-L", CMD_LIST_LOCAL_BUILDS}, {"-D", CMD_DISCOVER},
    {"-G", CMD_GET},         {"-I", CMD_INFO},              {"-U", CMD_UPDATE},
    {"-N", CMD_FINGERPRINT}, {"-C", CMD_CHECK},             {"-J", CMD_JWT},
};

size_t sLeadingDashes(const std::string& text) {
    size_t n = 0;
    while (n < text.size() && text[n] == '-') ++n;
    return n;
}

uint32_t sConvert(const char* text, const char** end, const char* digits, uint32_t base) {
    if (!end || !text) return 0;
    uint32_t value = 0;
    const char* p = text;
    for (; *p; ++p) {
        const char* hit = strchr(digits, *p);
        if (!hit) return 0;
        uint32_t digit = static_cast<uint32_t>(hit - digits);
        if (digit >= 16) digit -= 6;  // lower-case hexadecimal letters follow the upper-case ones
        value = value * base + digit;  // wraps: only the low 32 bits are kept
    }
    *end = p;
    return value;
}

bool sStartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// -d and -r: an optional 0x prefix, then hexadecimal digits only, and never 0.
bool sSerialArg(UpdaterDisplayInterface& display, std::string value, bool router, uint32_t& out) {
    if (sStartsWith(value, "0x") || sStartsWith(value, "0X")) {
        value.erase(0, 2);
        Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                       : "Discarding '0x' serial number prefix\n");
    }
    const char* end = nullptr;
    out = _get_hex_arg(value.c_str(), &end);
    if (out != 0) return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    router ? "Invalid router serial number obtained from argument [%s]"
                           : "Invalid serial number obtained from argument [%s]",
                    value.c_str());
    return false;
}

bool sTransportArg(UpdaterDisplayInterface& display, const std::string& value, Parameters& p) {
    p.transport_given = true;
    if (sStartsWith(value, "USB")) {
        p.transport = TRANSPORT_USB;
    } else if (sStartsWith(value, "TCP")) {
        p.transport = TRANSPORT_TCPIP;
    } else if (sStartsWith(value, "RECOVER")) {
        p.transport = TRANSPORT_RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                        "RECOVER",
                        value.c_str());
        p.transport = TRANSPORT_INVALID;
        return false;
    }
    return true;
}

void sDebugMaskArg(UpdaterDisplayInterface& display, const OptionRow& row,
                   const std::string& value, Parameters& p) {
    p.debug_mask_given = true;
    const int base = (sStartsWith(value, "0x") || sStartsWith(value, "0X")) ? 16 : 10;
    char* rest = nullptr;
    p.debug_mask = static_cast<uint32_t>(strtoul(value.c_str(), &rest, base));
    if (rest && *rest) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        row.text, rest);
        return;
    }
    Log::ActivatePackage(p.debug_mask);
}

// Applies one recognised option; false when its value was rejected.
bool sApplyCommand(UpdaterDisplayInterface& display, const OptionRow& row, Parameters& p) {
    if (strcmp(row.text, "-OVERRIDE") == 0) {
        p.override = true;
        return true;
    }
    if (strcmp(row.text, "-Y") == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", row.text);
        return false;
    }
    for (const CommandBit& c : kCommandBits)
        if (strcmp(row.text, c.text) == 0) p.commands.Set(c.bit);
    return true;
}

bool sApplyParameter(UpdaterDisplayInterface& display, const OptionRow& row,
                     const std::string& value, Parameters& p) {
    const char option = row.text[1];
    const char* end = nullptr;
    switch (option) {
        case 'd': return sSerialArg(display, value, false, p.serial_number);
        case 'r': return sSerialArg(display, value, true, p.router_serial_number);
        case 'b': p.build = std::to_string(_get_int_arg(value.c_str(), &end)); return true;
        case 'o': p.baud_rate = _get_int_arg(value.c_str(), &end); return true;
        case 't': return sTransportArg(display, value, p);
        case 'X': sDebugMaskArg(display, row, value, p); return true;
        case 'm': p.uei_bytes = value[0] == '1' || sStartsWith(value, "true"); return true;
        case 'Z': p.commands.Set(CMD_Z); return true;
        case 'e': p.echo = true; return true;
        case 'n': p.flag_n = true; return true;
        case 'f': p.bird_file = value; return true;
        case 'i': p.directory = value; return true;
        case 'k': p.log_file = value; return true;
        case 'l': p.log_message = value; return true;
        case 's': p.serial_port = value; return true;
        case 'u': p.server_url = value; return true;
        default: return true;
    }
}

std::string sProgramName(const char* argv0) {
    if (!argv0) return {};
    std::string name(argv0);
    size_t cut = name.find_last_of("\\/");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

}  // namespace

uint32_t _get_hex_arg(const char* text, const char** end) {
    return sConvert(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, const char** end) {
    return sConvert(text, end, "0123456789", 10);
}

const OptionRow* _match_option(const std::string& name) {
    const size_t dashes = sLeadingDashes(name);
    const OptionRow* best = nullptr;
    bool ambiguous = false;
    for (const OptionRow* row = g_rgOptions; row->id >= 0; ++row) {
        const std::string text(row->text);
        if (sLeadingDashes(text) != dashes) continue;
        if (text == name) return row;
        // Every abbreviation of `name` is name.size() long, so two candidates always tie.
        if (name.size() > dashes && name.size() < text.size() && text.compare(0, name.size(), name) == 0) {
            ambiguous = best != nullptr;
            best = row;
        }
    }
    return ambiguous ? nullptr : best;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters) {
    parameters = Parameters{};
    parameters.program_name = sProgramName(argc > 0 ? argv[0] : nullptr);
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof(home)) == aErrNone) parameters.home_directory = home;

    bool failed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument(argv[i]);
        if (argument.empty() || argument[0] != '-') continue;
        const size_t equals = argument.find('=');
        const bool attached = equals != std::string::npos;
        const std::string name = attached ? argument.substr(0, equals) : argument;
        const OptionRow* row = _match_option(name);
        if (!row) continue;

        std::string value;
        if (row->argument == 0) {
            if (attached) continue;
        } else if (attached) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc && argv[i + 1][0] != '-') {
            value = argv[++i];
        } else {
            continue;  // missing argument: the next one is examined as an option of its own
        }

        if (row->id == 0) {
            parameters.commands.Set(CMD_HELP);
            parameters.help_requested = true;
            return 0;
        }
        const bool ok = row->id == 1 ? sApplyCommand(display, *row, parameters)
                                     : sApplyParameter(display, *row, value, parameters);
        failed = failed || !ok;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", parameters.program_name.c_str());
    for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
    return failed ? 1 : 0;
}
