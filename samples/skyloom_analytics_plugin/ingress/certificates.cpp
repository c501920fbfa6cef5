#include "certificates.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

#include <zmq.h>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr size_t kZ85KeySize = 40;
constexpr size_t kKeySize = 32;

/** A certificate file is a few hundred bytes; anything much larger is not one. */
constexpr off_t kMaxCertificateSize = 64 * 1024;

struct Items
{
    std::map<std::string, std::string> curve;
    std::map<std::string, std::string> metadata;
};

std::string trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    const size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

/** A quoted value loses its quotes; an unquoted one is kept whole ('#' may be part of a key). */
std::string unquote(const std::string& value)
{
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\''))
    {
        const size_t close = value.find(value[0], 1);
        if (close != std::string::npos)
            return value.substr(1, close - 1);
    }
    return value;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size()
        && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<Items> readItems(const std::string& path, std::string* error)
{
    // Non-blocking, regular files only: a path such as a FIFO or /proc/kmsg must not hold up the
    // server's settings call.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat status{};
    std::string content;
    const char* problem = nullptr;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        problem = "not a regular file";
    else if (status.st_size > kMaxCertificateSize)
        problem = "too large for a certificate";
    char buffer[4096];
    while (problem == nullptr)
    {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got == 0)
            break;
        if (got < 0)
            problem = errno == EAGAIN ? "would block" : std::strerror(errno);
        else if (content.size() + static_cast<size_t>(got)
            > static_cast<size_t>(kMaxCertificateSize))
            problem = "too large for a certificate";
        else
            content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (problem != nullptr)
    {
        *error = path + ": " + problem;
        return std::nullopt;
    }

    Items items;
    std::map<std::string, std::string>* section = nullptr;
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line))
    {
        const std::string text = trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        const bool indented = line[0] == ' ' || line[0] == '\t';
        if (!indented)
        {
            // A section name; only two of them matter.
            section = text == "curve" ? &items.curve
                : text == "metadata" ? &items.metadata
                : nullptr;
            continue;
        }
        const size_t equals = text.find('=');
        if (section == nullptr || equals == std::string::npos)
            continue;
        (*section)[trim(text.substr(0, equals))] = unquote(trim(text.substr(equals + 1)));
    }
    return items;
}

std::optional<std::string> decodeKey(
    const std::map<std::string, std::string>& curve, const char* name, std::string* error)
{
    const auto it = curve.find(name);
    if (it == curve.end())
    {
        *error = std::string("no ") + name;
        return std::nullopt;
    }
    std::string key(kKeySize, '\0');
    if (it->second.size() != kZ85KeySize
        || zmq_z85_decode(reinterpret_cast<uint8_t*>(key.data()), it->second.c_str()) == nullptr)
    {
        *error = std::string(name) + " is not a 40-character Z85 key";
        return std::nullopt;
    }
    return key;
}

std::set<std::string> splitCameras(const std::string& text)
{
    std::set<std::string> cameras;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ','))
    {
        std::string id = trim(item);
        // Ids are written without braces; forgive them anyway.
        if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
            id = id.substr(1, id.size() - 2);
        if (!id.empty())
            cameras.insert(id);
    }
    return cameras;
}

} // namespace

bool isSecretCertificateName(const std::string& fileName)
{
    return endsWith(fileName, "_secret"); //< Also "*.key_secret".
}

std::optional<SecretCertificate> readSecretCertificate(const std::string& path, std::string* error)
{
    const std::optional<Items> items = readItems(path, error);
    if (!items)
        return std::nullopt;
    std::string keyError;
    std::optional<std::string> secretKey = decodeKey(items->curve, "secret-key", &keyError);
    if (!secretKey)
    {
        *error = path + ": " + keyError;
        return std::nullopt;
    }
    // The public key follows from the secret one; a file's own copy is not trusted.
    std::string publicKey(kKeySize, '\0');
    char publicZ85[kZ85KeySize + 1] = {};
    char secretZ85[kZ85KeySize + 1] = {};
    zmq_z85_encode(secretZ85, reinterpret_cast<const uint8_t*>(secretKey->data()), kKeySize);
    if (zmq_curve_public(publicZ85, secretZ85) != 0
        || zmq_z85_decode(reinterpret_cast<uint8_t*>(publicKey.data()), publicZ85) == nullptr)
    {
        *error = path + ": " + zmq_strerror(zmq_errno());
        return std::nullopt;
    }
    return SecretCertificate{std::move(publicKey), std::move(*secretKey)};
}

std::optional<PublicCertificate> readPublicCertificate(const std::string& path, std::string* error)
{
    const std::optional<Items> items = readItems(path, error);
    if (!items)
        return std::nullopt;
    std::string keyError;
    std::optional<std::string> publicKey = decodeKey(items->curve, "public-key", &keyError);
    if (!publicKey)
    {
        *error = path + ": " + keyError;
        return std::nullopt;
    }
    PublicCertificate certificate;
    const size_t slash = path.find_last_of('/');
    certificate.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (endsWith(certificate.name, ".key"))
        certificate.name.resize(certificate.name.size() - 4);
    certificate.publicKey = std::move(*publicKey);
    if (const auto it = items->metadata.find("cameras"); it != items->metadata.end())
        certificate.cameras = splitCameras(it->second);
    return certificate;
}

std::optional<CertificateDirectory> readCertificateDirectory(
    const std::string& path, std::string* error)
{
    DIR* const dir = opendir(path.c_str());
    if (dir == nullptr)
    {
        *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (!name.empty() && name[0] != '.' && !isSecretCertificateName(name))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end()); //< The same key twice: the first name wins.

    CertificateDirectory result;
    for (const std::string& name: names)
    {
        const std::string filePath = path + "/" + name;
        struct stat status{};
        if (stat(filePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        std::string reason;
        if (auto certificate = readPublicCertificate(filePath, &reason))
            result.certificates.push_back(std::move(*certificate));
        else if (result.skipped++ == 0)
            result.firstSkipped = std::move(reason);
    }
    return result;
}

bool writeCertificatePair(const std::string& directory, const std::string& name,
    std::string* error, ExistingPair existing)
{
    const std::string base = directory + "/" + name;
    for (const std::string& path: {base + ".key", base + ".key_secret"})
    {
        struct stat status{};
        if (lstat(path.c_str(), &status) != 0)
            continue;
        if (existing == ExistingPair::keep)
        {
            *error = path + " exists: nothing written (a new pair locks out whatever holds the "
                "old keys)";
            return false;
        }
        // Made anew rather than truncated: an old file may have lost its mode 0600.
        if (unlink(path.c_str()) != 0)
        {
            *error = path + ": cannot replace it: " + std::strerror(errno);
            return false;
        }
    }
    char publicZ85[kZ85KeySize + 1] = {};
    char secretZ85[kZ85KeySize + 1] = {};
    if (zmq_curve_keypair(publicZ85, secretZ85) != 0)
    {
        *error = std::string("no key pair: ") + zmq_strerror(zmq_errno());
        return false;
    }
    char date[64] = {};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &utc);

    const auto write = [&](const std::string& path, bool secret) {
        std::ostringstream text;
        text << "#   ****  Generated on " << date << " by skyloom-publish  ****\n"
            << "#   ZeroMQ CURVE " << (secret ? "**Secret**" : "Public") << " Certificate\n"
            << (secret ? "#   DO NOT PROVIDE THIS FILE TO OTHER USERS nor change its permissions.\n"
                : "#   Exchange securely, or use a secure mechanism to verify the contents\n"
                  "#   of this file after exchange.\n")
            << "\nmetadata\ncurve\n"
            << "    public-key = \"" << publicZ85 << "\"\n";
        if (secret)
            text << "    secret-key = \"" << secretZ85 << "\"\n";
        // Created with its final mode, so that the secret is never readable by others.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
            secret ? 0600 : 0644);
        if (fd < 0)
        {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        const std::string content = text.str();
        const bool written = ::write(fd, content.data(), content.size())
            == static_cast<ssize_t>(content.size());
        if (!written)
            *error = path + ": " + std::strerror(errno);
        close(fd);
        return written;
    };
    return write(base + ".key", /*secret*/ false) && write(base + ".key_secret", /*secret*/ true);
}

} // namespace nx::vms_server_plugins::analytics::sample
