#pragma once
// Requests to the update server, and the ordering of the build lists it returns.
//
// Every request is one GET of the server URL with an "op" key naming the operation; an answer
// counts only with status 200 and a first line beginning with "ok". Every operation returns
// false on any failure (transport, status, answer) after one line in the DEBUG_ServerComm debug
// log, never throws, and keeps no state between calls. `url` null means the built-in default.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Fingerprint.h"

// The built-in update server: plain HTTP to the build-configured host, path "/cgi/u".
extern const char kDefaultUpdateServerHost[];
extern const char kDefaultUpdateServerUrl[];

class UpdateServerRequest {
  public:
    // The URL used when an operation is given a null `url`.
    static const char* DefaultUrl() { return kDefaultUpdateServerUrl; }

    // True when the server answers "ok".
    static bool ping(const char* url);

    // The newest build number text into `build` and the firmware identifier into `firmware`,
    // each written only when the answer holds it.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                           const char* url);

    // The BIRD file of `build` as base64 text into `file_text` (cleared once the server answered
    // "ok", empty when the answer holds no file). `noCal` is sent as "no_cal".
    static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                         std::string& file_text, const char* url, bool noCal);

    // The builds the server offers for `serial`: build text -> version text. `builds` is
    // cleared before the request.
    static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                             const char* url);

    // The serial number and build that belong to `fingerprint`, each written only when the
    // answer holds it.
    static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                const char* url);

    // The device's token (header.payload.signature) into `token`; true only when the answer held
    // a well-formed one, `token` untouched otherwise.
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url);

    // The entries of `builds` (build text -> version text), newest version first. Entries whose
    // version is not three dot-separated numbers are neither newer nor older than any other; they
    // are placed after every well-formed one.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);

    // The pieces of `version` split at ".", when there are exactly three; else empty.
    static std::vector<std::string> SplitTessaLineVersion(const std::string& version);
};
