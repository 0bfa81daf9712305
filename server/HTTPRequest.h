#pragma once
// One HTTP GET of the update server: a URL plus a query built from a key/value map, answered by
// a text body. Every call owns its own transfer; nothing is shared between calls, so GET may run
// on any thread.

#include <cstddef>
#include <map>
#include <string>
#include <utility>

// The outcome of one GET: the URL that was requested, the HTTP status and the body.
class HTTPResponse {
  public:
    explicit HTTPResponse(std::string request) : request_(std::move(request)) {}

    // The complete URL that was requested, query string included.
    const char* get_request() const { return request_.c_str(); }
    // The body, NUL-terminated. The mutable form lets a parser tokenise it in place.
    char* get_response() { return response_.data(); }
    const char* get_response() const { return response_.c_str(); }
    // The number of body bytes (the body may itself hold NUL bytes).
    size_t get_response_size() const { return response_.size(); }
    // The HTTP status code; 0 until a transfer completed.
    long get_status() const { return status_; }

    void set_status(long status) { status_ = status; }
    // Appends `count` bytes to the body.
    void process(const char* bytes, size_t count) { response_.append(bytes, count); }

  private:
    std::string request_;
    long status_ = 0;
    std::string response_;
};

// Bounds that keep a dead or stalled server from holding a request forever. A transfer that
// exceeds them fails like any other transport failure.
struct HTTPBounds {
    long connect_timeout_s = 10;     // to establish the connection (TLS included)
    long low_speed_bytes_per_s = 1;  // a transfer slower than this ...
    long low_speed_time_s = 15;      // ... for this long is aborted
};

class HTTPRequest {
  public:
    // Performs one GET of `url` with the query built from `params` (see BuildUrl). Any HTTP
    // status, error statuses included, is a normal return. Throws std::runtime_error with the
    // text "Could not create curl instance", or with libcurl's description of its error code,
    // when the transfer itself fails (option refused, name resolution, connection, TLS peer
    // verification, bounds exceeded, response code unreadable).
    static HTTPResponse GET(const std::string& url,
                            const std::map<std::string, std::string>& params);

    // `url`, followed when `params` is not empty by "?" and "key=value&" for every entry in
    // byte-wise key order. Keys and values are used verbatim: nothing is percent-encoded.
    static std::string BuildUrl(const std::string& url,
                                const std::map<std::string, std::string>& params);

    // The bounds applied to every later GET, process-wide. Tests shorten them.
    static void SetBounds(const HTTPBounds& bounds);
    static HTTPBounds Bounds();
};

// The transfer's write callback: appends size * count bytes to the HTTPResponse `target` and
// returns that number, so the transfer is never aborted on the callback's account.
size_t _rcv_data(void* bytes, size_t size, size_t count, void* target);
