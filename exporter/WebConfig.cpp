#include "WebConfig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include "YamlCheck.h"

#include <yaml-cpp/yaml.h>

#if __has_include(<crypt.h>)
#include <crypt.h>
#define ZEVA_HAVE_CRYPT 1
#endif

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace exporter {

namespace {

using namespace yamlcheck;

QByteArray ReadFile(const YAML::Node& node, const std::filesystem::path& directory, const char* what)
{
    const std::filesystem::path path = directory / Scalar(node, what);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        Fail(node, std::string(what) + " '" + path.string() + "' is not a regular file");
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        Fail(node, std::string("cannot read ") + what + " '" + path.string() + "'");
    return file.read(1 << 20);
}

QSslConfiguration ParseTls(const YAML::Node& node, const std::filesystem::path& directory, WebConfig& config)
{
    CheckKeys(node, {"cert_file", "key_file", "min_version"}, "tls_server_config");
    if (!node["cert_file"] || !node["key_file"])
        Fail(node, "tls_server_config needs cert_file and key_file");
    config.certFile = directory / node["cert_file"].as<std::string>("");
    config.keyFile = directory / node["key_file"].as<std::string>("");
    const QList<QSslCertificate> chain = QSslCertificate::fromData(ReadFile(node["cert_file"], directory, "cert_file"));
    if (chain.isEmpty())
        Fail(node["cert_file"], "cert_file holds no PEM certificate");
    const QByteArray keyPem = ReadFile(node["key_file"], directory, "key_file");
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyPem, algorithm);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        Fail(node["key_file"], "key_file holds no unencrypted PEM private key");
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setLocalCertificateChain(chain);
    ssl.setPrivateKey(key);
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    ssl.setProtocol(QSsl::TlsV1_2OrLater);
    if (const YAML::Node v = node["min_version"]) {
        const std::string& name = Scalar(v, "min_version");
        if (name == "TLS13")
            ssl.setProtocol(QSsl::TlsV1_3OrLater);
        else if (name != "TLS12")
            Fail(v, "bad min_version '" + name + "' (expected TLS12 or TLS13)");
    }
    return ssl;
}

WebConfig Parse(const YAML::Node& root, const std::filesystem::path& directory)
{
    WebConfig config;
    if (!root || root.IsNull())
        return config; // an empty file: plain HTTP, no passwords
    CheckKeys(root, {"tls_server_config", "basic_auth_users"}, "the web configuration");
    if (const YAML::Node tls = root["tls_server_config"]; tls && !tls.IsNull()) {
        config.ssl = ParseTls(tls, directory, config);
        config.tls = true;
    }
    if (const YAML::Node users = root["basic_auth_users"]; users && !users.IsNull()) {
        if (!users.IsMap())
            Fail(users, "basic_auth_users must be a map of user names to bcrypt hashes");
#ifndef ZEVA_HAVE_CRYPT
        Fail(users, "basic_auth_users: bcrypt hashes cannot be checked on this system");
#endif
        for (const auto& entry : users) {
            const std::string& name = Scalar(entry.first, "a user name");
            const std::string& hash = Scalar(entry.second, "a password hash");
            const bool bcrypt = hash.size() == 60
                && (hash.starts_with("$2a$") || hash.starts_with("$2b$") || hash.starts_with("$2y$"));
            if (!bcrypt)
                Fail(entry.second, "the password hash of '" + name + "' is not a bcrypt hash ($2y$... as htpasswd -B makes)");
            if (name.empty() || name.find(':') != std::string::npos)
                Fail(entry.first, "a user name may be neither empty nor hold a colon");
            config.users.emplace(name, hash);
        }
    }
    return config;
}

std::string Where(const std::string& file, const YAML::Mark& mark)
{
    const int line = mark.line >= 0 ? mark.line + 1 : 1;
    const int column = mark.column >= 0 ? mark.column + 1 : 1;
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

bool SameBytes(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// A bcrypt check costs tens of milliseconds by design: the answers for the
// last few user, hash and password triples are kept (the password as its
// SHA-256), so that a scraper's every request does not pay it again.
bool CheckPassword(const std::string& user, const std::string& hash, const std::string& password)
{
    static std::mutex lock;
    static std::map<QByteArray, bool> known;
    QCryptographicHash key(QCryptographicHash::Sha256);
    key.addData(QByteArray::fromStdString(user + '\0' + hash + '\0' + password));
    const QByteArray id = key.result();
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (const auto it = known.find(id); it != known.end())
            return it->second;
    }
    bool good = false;
#ifdef ZEVA_HAVE_CRYPT
    auto data = std::make_unique<crypt_data>();
    const char* made = crypt_r(password.c_str(), hash.c_str(), data.get());
    good = made && made[0] != '*' && SameBytes(made, hash);
#endif
    const std::lock_guard<std::mutex> guard(lock);
    if (known.size() >= 256)
        known.clear();
    known.emplace(id, good);
    return good;
}

} // namespace

bool WebConfig::Authorized(std::string_view authorization) const
{
    if (users.empty())
        return true;
    constexpr std::string_view kBasic = "Basic ";
    if (authorization.size() < kBasic.size() || authorization.size() > 1024
        || !std::equal(kBasic.begin(), kBasic.end(), authorization.begin(),
                       [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b) || a == b; }))
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray(authorization.data() + kBasic.size(), qsizetype(authorization.size() - kBasic.size())).trimmed(),
        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    const qsizetype colon = decoded.decoded.indexOf(':');
    if (colon < 0)
        return false;
    const std::string name = decoded.decoded.left(colon).toStdString();
    const std::string password = decoded.decoded.mid(colon + 1).toStdString();
    const auto user = users.find(name);
    if (user == users.end()) {
        // As long as for a user who exists, so that the time taken does not
        // tell which names do.
        static const std::string kNobody = "$2y$10$1NfGedgZU/pY1u.tM6RU9.sIsGtaIhHsHqF8CwfIvigTYKJ1uH/ki";
        CheckPassword(name, kNobody, password);
        return false;
    }
    return CheckPassword(user->first, user->second, password);
}

LoadedWeb ParseWebConfig(const std::string& text, const std::string& file, const std::filesystem::path& directory)
{
    LoadedWeb loaded;
    try {
        loaded.config = std::make_shared<const WebConfig>(Parse(YAML::Load(text), directory));
    } catch (const Wrong& wrong) {
        loaded.error = Where(file, wrong.mark) + wrong.message;
    } catch (const YAML::Exception& e) {
        loaded.error = Where(file, e.mark) + e.msg;
    }
    return loaded;
}

std::string WebConfigFile::Stamp() const
{
    // What changes when the file, or the certificate and key it names, is
    // written again: each one's time and size.
    std::string stamp;
    const auto add = [&](const std::filesystem::path& path) {
        std::error_code ec;
        const auto status = std::filesystem::status(path, ec);
        stamp += std::to_string(int(status.type()));
        if (std::filesystem::is_regular_file(status)) {
            stamp += ':' + std::to_string(std::filesystem::file_size(path, ec));
            stamp += ':' + std::to_string(std::filesystem::last_write_time(path, ec).time_since_epoch().count());
        }
        stamp += ';';
    };
    add(path_);
    if (config_ && config_->tls) {
        add(config_->certFile);
        add(config_->keyFile);
    }
    return stamp;
}

std::shared_ptr<const WebConfig> WebConfigFile::Current(std::string* error)
{
    if (path_.empty()) {
        static const auto none = std::make_shared<const WebConfig>();
        return none;
    }
    const std::string stamp = Stamp();
    if (stamp == stamp_ && (config_ || !error_.empty())) {
        if (!config_ && error)
            *error = error_;
        return config_;
    }
    LoadedWeb loaded;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path_, ec)) {
        loaded.error = path_ + ":1:1: not a regular file";
    } else if (std::filesystem::file_size(path_, ec) > (1 << 20)) {
        loaded.error = path_ + ":1:1: larger than 1 MiB";
    } else {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in)
            loaded.error = path_ + ":1:1: cannot read the file";
        else
            loaded = ParseWebConfig(text.str(), path_, std::filesystem::path(path_).parent_path());
    }
    config_ = loaded.config;
    error_ = loaded.error;
    stamp_ = Stamp();
    if (!config_ && error)
        *error = error_;
    return config_;
}

} // namespace exporter
