// bird-writer: makes a BIRD firmware file from image files, for the simulated update server, test
// fixtures and the demo.

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"

namespace {

const char* const kUsage =
    "Usage: bird-writer -o FILE [options]\n"
    "Makes a BIRD firmware file: an info block, optional serial-number offsets, loader blocks,\n"
    "a loader entry block and firmware blocks, in that order.\n"
    "\n"
    "  -o, --output FILE             the BIRD file to write (replaced atomically)\n"
    "  -m, --model NAME              model name in the info block (at most 16 characters)\n"
    "  -s, --serial HEX              serial number in the info block (default 00000000)\n"
    "  -v, --version TEXT            version text in the info block (at most 15 characters)\n"
    "  -b, --build N                 build number in the info block (decimal, default 0)\n"
    "  -f, --firmware FILE[@ADDR]    a firmware image placed at ADDR (default 0); repeatable\n"
    "  -l, --loader FILE[@ADDR]      a loader image placed at ADDR (default 0); repeatable\n"
    "  -e, --loader-start ADDR       add a loader entry-address block\n"
    "  -g, --serial-offsets S[,D]    make a generic image: S is the address of the serial-number\n"
    "                                word, D of the 8-character serial descriptor (0 = absent)\n"
    "  -p, --fingerprint W0,W1,W2,W3 bind the firmware images to this device fingerprint\n"
    "                                (four hexadecimal words, as the fingerprint command prints)\n"
    "  -F, --flags N                 flags 0-7 of every loader and firmware block (default 0)\n"
    "      --no-info                 leave the info block out\n"
    "  -h, --help                    show this text\n"
    "\n"
    "Addresses are decimal, or hexadecimal with a 0x prefix.\n";

struct Image {
    std::string path;
    uint32_t address = 0;
};

struct Options {
    std::string output;
    birdsim::BirdInfo info;
    bool withInfo = true;
    std::vector<Image> firmware;
    std::vector<Image> loaders;
    std::optional<uint32_t> loaderStart;
    std::optional<std::pair<uint32_t, uint32_t>> serialOffsets;
    std::optional<std::vector<uint32_t>> fingerprint;
    uint8_t flags = 0;
};

// Whole-text unsigned 32-bit number in `base` (0: C rules, so 0x means hexadecimal).
uint32_t _number(const std::string& text, int base, const char* what) {
    errno = 0;
    char* end = nullptr;
    unsigned long long value =
        text.empty() || text[0] == '-' ? 0 : strtoull(text.c_str(), &end, base);
    if (text.empty() || text[0] == '-' || !end || *end || errno || value > UINT32_MAX)
        throw std::invalid_argument(std::string("invalid ") + what + ": '" + text + "'");
    return static_cast<uint32_t>(value);
}

std::vector<std::string> _split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

Image _image(const std::string& argument) {
    size_t at = argument.rfind('@');
    if (at == std::string::npos) return {argument, 0};
    return {argument.substr(0, at), _number(argument.substr(at + 1), 0, "address")};
}

birdsim::Bytes _readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return birdsim::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns the parsed options, or nothing after printing help (exit 0).
std::optional<Options> _parse(int argc, char** argv) {
    enum { kNoInfo = 256 };
    static const option kLong[] = {
        {"output", required_argument, nullptr, 'o'},
        {"model", required_argument, nullptr, 'm'},
        {"serial", required_argument, nullptr, 's'},
        {"version", required_argument, nullptr, 'v'},
        {"build", required_argument, nullptr, 'b'},
        {"firmware", required_argument, nullptr, 'f'},
        {"loader", required_argument, nullptr, 'l'},
        {"loader-start", required_argument, nullptr, 'e'},
        {"serial-offsets", required_argument, nullptr, 'g'},
        {"fingerprint", required_argument, nullptr, 'p'},
        {"flags", required_argument, nullptr, 'F'},
        {"no-info", no_argument, nullptr, kNoInfo},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":o:m:s:v:b:f:l:e:g:p:F:h", kLong, nullptr)) != -1) {
        std::string arg = optarg ? optarg : "";
        switch (c) {
            case 'o':
                options.output = arg;
                break;
            case 'm':
                options.info.model = arg;
                break;
            case 's':
                options.info.serial = _number(arg, 16, "serial number");
                break;
            case 'v':
                options.info.version = arg;
                break;
            case 'b':
                options.info.build = _number(arg, 10, "build number");
                break;
            case 'f':
                options.firmware.push_back(_image(arg));
                break;
            case 'l':
                options.loaders.push_back(_image(arg));
                break;
            case 'e':
                options.loaderStart = _number(arg, 0, "address");
                break;
            case 'g': {
                std::vector<std::string> parts = _split(arg, ',');
                if (parts.size() > 2)
                    throw std::invalid_argument("invalid serial offsets: '" + arg + "'");
                options.serialOffsets = {_number(parts[0], 0, "address"),
                                         parts.size() == 2 ? _number(parts[1], 0, "address") : 0};
                break;
            }
            case 'p': {
                std::vector<std::string> parts = _split(arg, ',');
                if (parts.size() != 4)
                    throw std::invalid_argument("a fingerprint has four words: '" + arg + "'");
                std::vector<uint32_t> words;
                for (const std::string& part : parts)
                    words.push_back(_number(part, 16, "fingerprint word"));
                options.fingerprint = words;
                break;
            }
            case 'F': {
                uint32_t flags = _number(arg, 0, "flags");
                if (flags > 7) throw std::invalid_argument("flags must be 0-7: '" + arg + "'");
                options.flags = static_cast<uint8_t>(flags);
                break;
            }
            case kNoInfo:
                options.withInfo = false;
                break;
            case 'h':
                fputs(kUsage, stdout);
                return std::nullopt;
            case ':':
                throw std::invalid_argument(std::string("option needs a value: ") +
                                            argv[optind - 1]);
            default:
                throw std::invalid_argument(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        throw std::invalid_argument(std::string("unexpected argument: ") + argv[optind]);
    if (options.output.empty()) throw std::invalid_argument("no output file (-o FILE)");
    return options;
}

void _write(const Options& options) {
    birdsim::BirdWriter writer;
    if (options.withInfo) writer.AddInfo(options.info);
    if (options.serialOffsets)
        writer.AddSerialOffsets(options.serialOffsets->first, options.serialOffsets->second);
    for (const Image& loader : options.loaders)
        writer.AddLoader(loader.address, _readFile(loader.path), options.flags);
    if (options.loaderStart) writer.AddLoaderStart(*options.loaderStart);
    for (const Image& firmware : options.firmware)
        writer.AddFirmware(firmware.address, _readFile(firmware.path), options.flags);
    if (options.fingerprint) {
        const std::vector<uint32_t>& w = *options.fingerprint;
        writer.BindToFingerprint(w[0], w[1], w[2], w[3]);
    }
    writer.WriteTo(options.output);
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    try {
        options = _parse(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "bird-writer: %s\n%s", e.what(), "Try 'bird-writer --help'.\n");
        return 2;
    }
    if (!options) return 0;
    try {
        _write(*options);
    } catch (const std::exception& e) {
        fprintf(stderr, "bird-writer: %s\n", e.what());
        return 1;
    }
    return 0;
}
