#pragma once
// The update server's side of the protocol, computed from a folder of builds (layout in
// README.md). No networking here: the program in main.cpp feeds it each request's path and raw
// query and sends back what it returns.

#include <map>
#include <string>
#include <vector>

namespace updatesim {

struct SimConfig {
    std::string root;    // the builds folder; empty: no device is known
    std::string canned;  // folder of canned answers per operation; empty: none
    bool crlf = false;   // end answer lines with "\r\n" instead of "\n"
    bool strict = true;  // refuse queries that are not in the client's canonical form
};

// A query as it arrived: its pairs in wire order (values percent-decoded) and, when it breaks
// the canonical form (keys in byte-wise order, every pair "key=value&"), the reason.
struct Query {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::map<std::string, std::string> values;
    std::string op;
    std::string malformed;
};

Query ParseQuery(const std::string& raw);

struct SimAnswer {
    int status = 200;
    std::string body;
};

// The answer to a GET of `path` with `query`.
SimAnswer Answer(const SimConfig& config, const std::string& path, const Query& query);

// The standard base64 text (RFC 4648, "=" padding) of `bytes`.
std::string Base64Encode(const std::string& bytes);

}  // namespace updatesim
