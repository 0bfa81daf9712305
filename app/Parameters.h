#pragma once
// The command line turned into one record: requested commands and their parameters.

#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_JWT = 0x100,
    CMD_LIST_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
};

// Every bit that counts as "a command was given"; three of them no option sets.
inline constexpr uint32_t kAnyCommandMask = 0x307FF;

class CommandsClass {
public:
    void Set(uint32_t commands) { bits |= commands; }
    bool IsSet(uint32_t commands) const { return (bits & commands) != 0; }
    uint32_t Bits() const { return bits; }

private:
    uint32_t bits = 0;
};

enum TransportKind : int32_t {
    TRANSPORT_INVALID = 0,
    TRANSPORT_USB = 1,
    TRANSPORT_TCPIP = 2,
    TRANSPORT_RECOVER = 255,
};

// The update server's base URL when -u is not given.
extern const char* const kDefaultServerUrl;
extern const char* const kDefaultServerHost;

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial_number = 0;
    int32_t transport = TRANSPORT_USB;
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0;
    std::string bird_file;
    std::string log_message;
    std::string build;  // decimal text; empty means "latest"
    bool echo = false;
    std::string server_url = kDefaultServerUrl;
    bool flag_n = false;
    std::string directory;  // empty means the home directory
    std::string program_name;
    std::string home_directory;
    std::string log_mode = "a+";
    std::string log_file = "Updater.log";
    bool override = false;
    bool uei_bytes = true;
    uint32_t debug_mask = 0;
    bool debug_mask_given = false;
    bool help_requested = false;
};

// One row of the option table.
struct OptionRow {
    int id;  // 0 help, 1 command, 2 parameter; negative ends the table
    const char* text;
    int argument;  // 0 none, 1 required
};

// The option table, ended by a row with a negative id.
extern const OptionRow g_rgOptions[];

// The row `name` selects: an exact match, else the single row of which `name` is the longest
// abbreviation (at least one character after the dashes, same number of leading dashes).
// Null when nothing matches or the abbreviation is ambiguous.
const OptionRow* _match_option(const std::string& name);

// Parses argv into `parameters`, printing a message for every rejected option. Returns 0 when
// the command line is usable (always 0 once a help option is met), else 1.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters);

// The whole of `text` in base 16 (resp. 10), low 32 bits kept, with `*end` set past its last
// character. 0 with `*end` untouched when `text` holds any other character; 0 when `end` is null.
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);
