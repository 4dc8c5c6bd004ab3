#pragma once

#include <QSslConfiguration>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace exporter {

// The front door's settings, in the web configuration file Prometheus's
// exporters share: HTTPS with a certificate and key, and users who must
// give a password (checked against a bcrypt hash).
struct WebConfig {
    bool tls = false;
    QSslConfiguration ssl;                     // with tls: certificate, key, least version
    std::filesystem::path certFile, keyFile;
    std::map<std::string, std::string> users; // user: bcrypt hash; none: no password asked

    // Whether an Authorization header's value names a user and the password
    // its hash was made of.
    bool Authorized(std::string_view authorization) const;
};

struct LoadedWeb {
    std::shared_ptr<const WebConfig> config; // null when the file was refused
    std::string error;                       // FILE:LINE:COLUMN: what is wrong
};

// `file` names the text in errors; relative certificate paths are taken
// from `directory`.
LoadedWeb ParseWebConfig(const std::string& text, const std::string& file, const std::filesystem::path& directory);

// The web configuration file, read again whenever it, the certificate or
// the key changed since the last look, so that a new certificate or a new
// user counts from the next connection or request on. Without a path: no
// TLS, no passwords.
class WebConfigFile {
public:
    explicit WebConfigFile(std::string path = {}) : path_(std::move(path)) {}

    // The settings in force, null with `error` when the file cannot be used.
    std::shared_ptr<const WebConfig> Current(std::string* error);

private:
    std::string Stamp() const;

    std::string path_;
    std::string stamp_;
    std::shared_ptr<const WebConfig> config_;
    std::string error_;
};

} // namespace exporter
