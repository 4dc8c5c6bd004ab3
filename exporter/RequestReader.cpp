#include "RequestReader.h"

#include <http_parser.h>

#include <algorithm>
#include <climits>

namespace exporter {

namespace {

bool SameName(std::string_view a, std::string_view lower)
{
    return a.size() == lower.size()
        && std::equal(a.begin(), a.end(), lower.begin(),
                      [](char x, char y) { return (x >= 'A' && x <= 'Z' ? char(x - 'A' + 'a') : x) == y; });
}

} // namespace

struct RequestReader::Parser {
    http_parser parser{};

    static RequestReader& Of(http_parser* p) { return *static_cast<RequestReader*>(p->data); }

    static const http_parser_settings& Settings()
    {
        static const http_parser_settings settings = [] {
            http_parser_settings s{};
            s.on_url = [](http_parser* p, const char* at, std::size_t n) {
                RequestReader& r = Of(p);
                r.url_.append(at, n);
                return r.url_.size() > r.maxHeaderBytes_ ? (r.Refuse(414, "the request line is longer than 8 KiB\n"), 1) : 0;
            };
            s.on_header_field = [](http_parser* p, const char* at, std::size_t n) {
                RequestReader& r = Of(p);
                r.headerSeen_ = true;
                if (r.inValue_)
                    r.StoreHeader();
                r.field_.append(at, std::min(n, r.maxHeaderBytes_));
                return 0;
            };
            s.on_header_value = [](http_parser* p, const char* at, std::size_t n) {
                RequestReader& r = Of(p);
                r.inValue_ = true;
                r.value_.append(at, std::min(n, r.maxHeaderBytes_));
                return 0;
            };
            s.on_headers_complete = [](http_parser* p) {
                RequestReader& r = Of(p);
                if (r.inValue_)
                    r.StoreHeader();
                r.headersDone_ = true;
                r.method_ = http_method_str(static_cast<http_method>(p->method));
                r.head_ = p->method == HTTP_HEAD;
                r.http10_ = p->http_major == 1 && p->http_minor == 0;
                r.keepAlive_ = http_should_keep_alive(p) != 0 && !p->upgrade;
                // A body announced larger than allowed is refused before any of it is read.
                if ((p->flags & F_CHUNKED) == 0 && p->content_length != ULLONG_MAX && p->content_length > r.maxBodyBytes_) {
                    r.Refuse(413, "the request's body is larger than 64 KiB\n");
                    return -1;
                }
                return 0;
            };
            s.on_body = [](http_parser* p, const char*, std::size_t n) {
                RequestReader& r = Of(p);
                r.body_ += n;
                return r.body_ > r.maxBodyBytes_ ? (r.Refuse(413, "the request's body is larger than 64 KiB\n"), 1) : 0;
            };
            s.on_message_complete = [](http_parser* p) {
                // One request at a time: the rest waits until this one is answered.
                Of(p).state_ = State::Complete;
                http_parser_pause(p, 1);
                return 0;
            };
            return s;
        }();
        return settings;
    }
};

RequestReader::RequestReader(std::size_t maxHeaderBytes, std::size_t maxBodyBytes)
    : maxHeaderBytes_(maxHeaderBytes), maxBodyBytes_(maxBodyBytes), parser_(std::make_unique<Parser>())
{
    http_parser_init(&parser_->parser, HTTP_REQUEST);
    parser_->parser.data = this;
}

RequestReader::~RequestReader() = default;

std::size_t RequestReader::Feed(const char* data, std::size_t size)
{
    std::size_t used = 0;
    while (state_ == State::Reading && used < size) {
        // Until the headers end, no byte past the bound is given: headers
        // that have not ended by then are too long.
        std::size_t length = size - used;
        if (!headersDone_)
            length = std::min(length, maxHeaderBytes_ - fed_);
        const std::size_t parsed = http_parser_execute(&parser_->parser, &Parser::Settings(), data + used, length);
        if (!headersDone_)
            fed_ += parsed;
        used += parsed;
        const auto error = HTTP_PARSER_ERRNO(&parser_->parser);
        if (state_ == State::Refused)
            break;
        if (error == HPE_PAUSED) {
            http_parser_pause(&parser_->parser, 0);
            break;
        }
        if (error != HPE_OK) {
            Refuse(400, std::string("bad request: ") + http_errno_description(error) + "\n");
            break;
        }
        if (!headersDone_ && fed_ >= maxHeaderBytes_) {
            if (headerSeen_)
                Refuse(431, "the request's headers are larger than 8 KiB\n");
            else
                Refuse(414, "the request line is longer than 8 KiB\n");
            break;
        }
    }
    return used;
}

void RequestReader::Next()
{
    state_ = State::Reading;
    fed_ = 0;
    headerSeen_ = headersDone_ = inValue_ = false;
    body_ = 0;
    url_.clear();
    field_.clear();
    value_.clear();
    method_.clear();
    timeoutHeader_.clear();
    authorization_.clear();
}

void RequestReader::Refuse(int status, std::string reason)
{
    state_ = State::Refused;
    status_ = status;
    reason_ = std::move(reason);
}

void RequestReader::StoreHeader()
{
    if (SameName(field_, "x-prometheus-scrape-timeout-seconds"))
        timeoutHeader_ = value_;
    else if (SameName(field_, "authorization"))
        authorization_ = value_;
    field_.clear();
    value_.clear();
    inValue_ = false;
}

} // namespace exporter
