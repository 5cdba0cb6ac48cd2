#pragma once

#include <string>

// Runs tests/fakes/provider.py (OAuth, Drive and analytics stand-in; its paths are described there) as a child process.
class FakeProvider {
public:
    FakeProvider();   // starts it; Url() is empty if it did not come up within 10 s
    ~FakeProvider();  // stops it
    FakeProvider(const FakeProvider&) = delete;
    FakeProvider& operator=(const FakeProvider&) = delete;

    std::string Url(const std::string& path = "") const;  // "http://127.0.0.1:PORT" + path
    // One request (GET, or POST with the body); the response body, "" on failure.
    std::string Get(const std::string& pathAndQuery) const;
    std::string Post(const std::string& pathAndQuery, const std::string& body = "", bool post = true) const;

private:
    int pid = -1;
    int stdinFd = -1;  // its end of file stops the provider, even when this process dies
    std::string base;
};
