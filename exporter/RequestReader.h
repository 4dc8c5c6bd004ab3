#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace exporter {

// Reads the HTTP/1.x requests of one connection from its bytes as they
// come, one request at a time, within bounds: the request line and headers
// (414 when the request line alone is too long, 431 otherwise) and the body
// (413, refused by its announced length before any of it is read). Parsing
// is Debian's http-parser; this counts the bytes and keeps the few headers
// the exporter reads.
class RequestReader {
public:
    enum class State { Reading, Complete, Refused };

    RequestReader(std::size_t maxHeaderBytes, std::size_t maxBodyBytes);
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // Takes bytes and returns how many it used: all of them while a request
    // is being read, up to its end once it is complete, up to where it was
    // refused. The rest belongs to the next request, read after Next().
    std::size_t Feed(const char* data, std::size_t size);
    State GetState() const { return state_; }
    // After a complete request: ready for the next one.
    void Next();

    // Of a complete request.
    const std::string& Method() const { return method_; }
    const std::string& Url() const { return url_; }
    const std::string& ScrapeTimeout() const { return timeoutHeader_; } // X-Prometheus-Scrape-Timeout-Seconds
    const std::string& Authorization() const { return authorization_; }
    bool KeepAlive() const { return keepAlive_; }
    bool Http10() const { return http10_; }
    bool Head() const { return head_; }

    // Of a refused one: the status and why.
    int Status() const { return status_; }
    const std::string& Reason() const { return reason_; }

private:
    struct Parser;
    friend struct Parser;

    void Refuse(int status, std::string reason);
    void StoreHeader();

    std::size_t maxHeaderBytes_;
    std::size_t maxBodyBytes_;
    std::unique_ptr<Parser> parser_;
    State state_ = State::Reading;

    std::size_t fed_ = 0; // bytes of this request given before its headers ended
    bool headerSeen_ = false, headersDone_ = false, inValue_ = false;
    std::size_t body_ = 0;
    std::string url_, field_, value_, method_, timeoutHeader_, authorization_;
    bool keepAlive_ = false, http10_ = false, head_ = false;
    int status_ = 0;
    std::string reason_;
};

} // namespace exporter
