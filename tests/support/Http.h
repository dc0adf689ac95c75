#pragma once
// Plain GET requests through libcurl, as the viewer makes them (fail-on-error off, so the status is seen).
#include <curl/curl.h>

#include <string>

struct HttpReply {
    long status = 0;             // HTTP status, 0 when no reply came
    CURLcode code = CURLE_OK;    // transfer result
    std::string body;
};

class HttpClient {
public:
    HttpClient() {
        static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        (void)initialised;
        curl_ = curl_easy_init();
    }
    ~HttpClient() { curl_easy_cleanup(curl_); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpReply get(const std::string& url) {
        HttpReply r;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &HttpClient::write);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &r.body);
        r.code = curl_easy_perform(curl_);
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &r.status);
        return r;
    }
    std::string escape(const std::string& s) {
        char* e = curl_easy_escape(curl_, s.data(), int(s.size()));
        std::string out = e ? e : "";
        curl_free(e);
        return out;
    }

private:
    static size_t write(char* data, size_t, size_t n, void* body) {
        static_cast<std::string*>(body)->append(data, n);
        return n;
    }
    CURL* curl_;
};
