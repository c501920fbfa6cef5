// CurveZMQ certificates as pyzmq (zmq.auth.create_certificates: NAME.key, NAME.key_secret) and
// czmq (zcert: NAME, NAME_secret) write them: a "metadata" section of name = value pairs and a
// "curve" section with "public-key" (and, in a secret certificate, "secret-key") as 40-character
// Z85 texts. Values may be quoted or not; keys may hold '=' and '#', so an unquoted value runs to
// the end of its line. Pure functions of the files; any thread.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nx::vms_server_plugins::analytics::sample {

struct PublicCertificate
{
    std::string name; //< The file name without ".key".
    std::string publicKey; //< 32 bytes, decoded.
    /** From the metadata item "cameras" (ids without braces); unset: every camera. */
    std::optional<std::set<std::string>> cameras;
};

struct SecretCertificate
{
    std::string publicKey; //< 32 bytes, decoded.
    std::string secretKey; //< 32 bytes, decoded.
};

/** Reads a secret certificate; on failure nothing, with the reason in `error`. */
[[nodiscard]] std::optional<SecretCertificate> readSecretCertificate(
    const std::string& path, std::string* error);

/** Reads a public certificate; on failure nothing, with the reason in `error`. */
[[nodiscard]] std::optional<PublicCertificate> readPublicCertificate(
    const std::string& path, std::string* error);

struct CertificateDirectory
{
    std::vector<PublicCertificate> certificates;
    /** Files passed over as no public certificate; a directory may hold thousands. */
    size_t skipped = 0;
    std::string firstSkipped; //< The reason of the first of them (in name order).
};

/**
 * Every public certificate of a directory (secret ones and hidden files are passed over); on
 * failure to list the directory nothing, with the reason in `error`.
 */
[[nodiscard]] std::optional<CertificateDirectory> readCertificateDirectory(
    const std::string& path, std::string* error);

/** Whether a file name is a secret certificate's ("*.key_secret", "*_secret"). */
[[nodiscard]] bool isSecretCertificateName(const std::string& fileName);

enum class ExistingPair { keep, replace };

/**
 * Writes a key pair in pyzmq's layout (DIR/NAME.key, DIR/NAME.key_secret mode 0600). An existing
 * file of the pair is kept (nothing written, the reason in `error`) unless told to replace it:
 * a new key pair locks out whatever still holds the old one.
 */
[[nodiscard]] bool writeCertificatePair(const std::string& directory, const std::string& name,
    std::string* error, ExistingPair existing = ExistingPair::keep);

} // namespace nx::vms_server_plugins::analytics::sample
