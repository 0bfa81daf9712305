// update-server-sim: a real HTTP server on 127.0.0.1 that answers the update server protocol
// from a folder of builds, with switches for the failure answers a client must survive.
// See README.md for the options and the folder layout.

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimProtocol.h"

namespace {

using namespace updatesim;

const char kUsage[] =
    "usage: update-server-sim [--root DIR] [--port N] [--log FILE] [--canned DIR]\n"
    "                         [--fail MODE[:OP]]... [--delay-ms N[:OP]]... [--chunk N]\n"
    "                         [--crlf] [--lenient] [--tls]\n"
    "  MODE: status500 | empty | notok | silent    OP: hi qu bird builds fix ent_jwt\n";

enum class Fail { None, Status500, Empty, NotOk, Silent };

struct Options {
    SimConfig config;
    int port = 0;
    std::string log;
    std::map<std::string, Fail> fail;      // by operation; "" applies to every operation
    std::map<std::string, long> delay_ms;  // by operation; "" applies to every operation
    size_t chunk = 0;                      // 0: the body in one piece
    bool tls = false;
};

std::atomic<bool> gStopping{false};

// "VALUE[:OP]" split into its two halves.
std::pair<std::string, std::string> sSplitOp(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return {text, ""};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

bool sParseFail(const std::string& text, Options& options) {
    static const std::map<std::string, Fail> kModes = {{"status500", Fail::Status500},
                                                       {"empty", Fail::Empty},
                                                       {"notok", Fail::NotOk},
                                                       {"silent", Fail::Silent}};
    const auto [mode, op] = sSplitOp(text);
    auto found = kModes.find(mode);
    if (found == kModes.end()) return false;
    options.fail[op] = found->second;
    return true;
}

bool sParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--crlf")
            options.config.crlf = true;
        else if (arg == "--lenient")
            options.config.strict = false;
        else if (arg == "--tls")
            options.tls = true;
        else if (!has_value)
            return false;
        else if (arg == "--root")
            options.config.root = argv[++i];
        else if (arg == "--canned")
            options.config.canned = argv[++i];
        else if (arg == "--log")
            options.log = argv[++i];
        else if (arg == "--port")
            options.port = std::atoi(argv[++i]);
        else if (arg == "--chunk")
            options.chunk = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--fail") {
            if (!sParseFail(argv[++i], options)) return false;
        } else if (arg == "--delay-ms") {
            const auto [ms, op] = sSplitOp(argv[++i]);
            options.delay_ms[op] = std::atol(ms.c_str());
        } else {
            return false;
        }
    }
    return true;
}

template <typename T>
T sForOperation(const std::map<std::string, T>& table, const std::string& op, T none) {
    auto found = table.find(op);
    if (found == table.end()) found = table.find("");
    return found == table.end() ? none : found->second;
}

// Sleeps up to `ms`, returning early when the server is stopping.
void sPause(long ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!gStopping && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class RequestLog {
  public:
    explicit RequestLog(const std::string& path) {
        if (!path.empty()) file_ = fopen(path.c_str(), "a");
    }
    ~RequestLog() {
        if (file_) fclose(file_);
    }
    bool Failed(const std::string& path) const { return !path.empty() && !file_; }
    void Record(const std::string& target) {
        if (!file_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        fprintf(file_, "%s\n", target.c_str());
        fflush(file_);
    }

  private:
    FILE* file_ = nullptr;
    std::mutex mutex_;
};

void sSend(const Options& options, const SimAnswer& answer, httplib::Response& response) {
    response.status = answer.status;
    if (options.chunk == 0 || answer.body.empty()) {
        response.set_content(answer.body, "text/plain");
        return;
    }
    // Pieces with pauses between them, so the client receives the body in several reads.
    auto body = std::make_shared<std::string>(answer.body);
    const size_t piece = options.chunk;
    response.set_chunked_content_provider(
        "text/plain", [body, piece](size_t offset, httplib::DataSink& sink) {
            if (offset >= body->size()) {
                sink.done();
                return true;
            }
            if (offset > 0) sPause(20);
            const size_t n = std::min(piece, body->size() - offset);
            return sink.write(body->data() + offset, n);
        });
}

void sHandle(const Options& options, RequestLog& log, const httplib::Request& request,
             httplib::Response& response) {
    log.Record(request.target);
    const size_t mark = request.target.find('?');
    const std::string raw = mark == std::string::npos ? "" : request.target.substr(mark + 1);
    const Query query = ParseQuery(raw);

    sPause(sForOperation(options.delay_ms, query.op, 0L));
    switch (sForOperation(options.fail, query.op, Fail::None)) {
        case Fail::Silent:
            // Holds the connection without a byte until the server stops.
            while (!gStopping) sPause(1000);
            return;
        case Fail::Status500:
            return sSend(options, {500, "error: internal server error\n"}, response);
        case Fail::Empty:
            return sSend(options, {200, ""}, response);
        case Fail::NotOk:
            return sSend(options, {200, options.config.crlf ? "error\r\n" : "error\n"}, response);
        case Fail::None:
            break;
    }
    sSend(options, Answer(options.config, request.path, query), response);
}

// A fresh self-signed certificate for 127.0.0.1, which no client trusts.
std::unique_ptr<httplib::Server> sTlsServer() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (!key || !cert) return nullptr;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    auto server = std::make_unique<httplib::SSLServer>(cert, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return server;
}

// Waits for SIGINT or SIGTERM (blocked in every thread) and stops the server.
void sStopOnSignal(httplib::Server& server, sigset_t signals) {
    int signal = 0;
    sigwait(&signals, &signal);
    gStopping = true;
    server.stop();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!sParseArguments(argc, argv, options)) {
        fputs(kUsage, stderr);
        return 2;
    }
    RequestLog log(options.log);
    if (log.Failed(options.log)) {
        fprintf(stderr, "update-server-sim: cannot open log %s\n", options.log.c_str());
        return 1;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<httplib::Server> server =
        options.tls ? sTlsServer() : std::make_unique<httplib::Server>();
    if (!server || !server->is_valid()) {
        fputs("update-server-sim: cannot set up the server\n", stderr);
        return 1;
    }
    // Enough workers that held (silent or slow) requests never starve the others.
    server->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server->Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
        sHandle(options, log, request, response);
    });

    int port = options.port;
    if (port == 0)
        port = server->bind_to_any_port("127.0.0.1");
    else if (!server->bind_to_port("127.0.0.1", port))
        port = -1;
    if (port <= 0) {
        fprintf(stderr, "update-server-sim: cannot listen on 127.0.0.1:%d\n", options.port);
        return 1;
    }
    printf("listening on 127.0.0.1:%d\n", port);
    fflush(stdout);

    std::thread stopper(sStopOnSignal, std::ref(*server), signals);
    server->listen_after_bind();
    if (!gStopping) {
        // listen ended on its own: wake the stopper so the process can end.
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    return 0;
}
