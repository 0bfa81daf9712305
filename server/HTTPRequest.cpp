#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "Log.h"

namespace {

std::atomic<long> sConnectTimeout{HTTPBounds{}.connect_timeout_s};
std::atomic<long> sLowSpeedLimit{HTTPBounds{}.low_speed_bytes_per_s};
std::atomic<long> sLowSpeedTime{HTTPBounds{}.low_speed_time_s};

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// Sets every option of the transfer, stopping at the first one libcurl refuses.
CURLcode sConfigure(CURL* curl, HTTPResponse& response) {
    using WriteFunction = size_t (*)(void*, size_t, size_t, void*);
    const WriteFunction write = _rcv_data;
    CURLcode code = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_URL, response.get_request());
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // The peer's certificate is always verified against the system's CA store: an update
    // server that cannot prove who it is must not hand out firmware.
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // Bounded waits: a server that never accepts or stops sending fails the request instead
    // of hanging the tool. No signals, because GET may run on a worker thread.
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, sConnectTimeout.load());
    if (code == CURLE_OK)
        code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, sLowSpeedLimit.load());
    if (code == CURLE_OK)
        code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, sLowSpeedTime.load());
    return code;
}

}  // namespace

std::string HTTPRequest::BuildUrl(const std::string& url,
                                  const std::map<std::string, std::string>& params) {
    std::string full = url;
    if (params.empty()) return full;
    full += '?';
    for (const auto& [key, value] : params) {
        full += key;
        full += '=';
        full += value;
        full += '&';
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string& url,
                              const std::map<std::string, std::string>& params) {
    CurlHandle curl(curl_easy_init());
    if (!curl) throw std::runtime_error("Could not create curl instance");
    HTTPResponse response(BuildUrl(url, params));

    CURLcode code = sConfigure(curl.get(), response);
    long status = 0;
    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
        code = curl_easy_perform(curl.get());
    }
    if (code == CURLE_OK) code = curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));

    response.set_status(status);
    return response;
}

void HTTPRequest::SetBounds(const HTTPBounds& bounds) {
    sConnectTimeout = bounds.connect_timeout_s;
    sLowSpeedLimit = bounds.low_speed_bytes_per_s;
    sLowSpeedTime = bounds.low_speed_time_s;
}

HTTPBounds HTTPRequest::Bounds() {
    return HTTPBounds{sConnectTimeout.load(), sLowSpeedLimit.load(), sLowSpeedTime.load()};
}

size_t _rcv_data(void* bytes, size_t size, size_t count, void* target) {
    auto* response = static_cast<HTTPResponse*>(target);
    const size_t total = size * count;
    const char* chunk = static_cast<const char*>(bytes);
    // The chunk is not NUL-terminated: show at most its first 100 bytes, padded to 100 columns.
    const int shown = static_cast<int>(std::min<size_t>(total, 100));
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(target) & 0xFFFFFFFFu), shown,
             chunk);
    response->process(chunk, total);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
    return total;
}
