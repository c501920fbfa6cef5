#include "curve_keys.h"

#include <filesystem>
#include <iostream>
#include <system_error>

#include "ingress/certificates.h"
#include "settings/settings_table.h"

namespace skyloom::publish {

using nx::vms_server_plugins::analytics::sample::readPublicCertificate;
using nx::vms_server_plugins::analytics::sample::readSecretCertificate;
using nx::vms_server_plugins::analytics::sample::ExistingPair;
using nx::vms_server_plugins::analytics::sample::writeCertificatePair;
namespace setting = nx::vms_server_plugins::analytics::sample::setting;

std::string applyCurveKeys(
    zmq::socket_t& socket, const std::string& serverKeyFile, const std::string& keyFile)
{
    std::string error;
    const auto server = readPublicCertificate(serverKeyFile, &error);
    if (!server)
        return "--server-key: " + error;
    const auto own = readSecretCertificate(keyFile, &error);
    if (!own)
        return "--key: " + error;
    socket.set(zmq::sockopt::curve_serverkey, zmq::buffer(server->publicKey));
    socket.set(zmq::sockopt::curve_publickey, zmq::buffer(own->publicKey));
    socket.set(zmq::sockopt::curve_secretkey, zmq::buffer(own->secretKey));
    return {};
}

int makeCertificate(const std::vector<std::string>& args)
{
    std::vector<std::string> operands;
    ExistingPair existing = ExistingPair::keep;
    for (const std::string& arg: args)
    {
        if (arg == "--replace")
            existing = ExistingPair::replace;
        else
            operands.push_back(arg);
    }
    if (operands.size() != 2)
    {
        std::cerr << "skyloom-publish: --make-certificate needs NAME DIR (and --replace to "
            "replace an existing pair)" << std::endl;
        return 2;
    }
    const std::string& name = operands[0];
    const std::string& directory = operands[1];
    if (name.empty() || name[0] == '-' || name.find('/') != std::string::npos)
    {
        std::cerr << "skyloom-publish: bad certificate name '" << name << "'" << std::endl;
        return 2;
    }
    const std::string base = directory + "/" + name;
    std::string error;
    if (!writeCertificatePair(directory, name, &error, existing))
    {
        std::error_code ignored;
        const bool pairExists = std::filesystem::exists(base + ".key", ignored)
            || std::filesystem::exists(base + ".key_secret", ignored);
        std::cerr << "skyloom-publish: " << error
            << (existing == ExistingPair::keep && pairExists ? "; --replace replaces the pair"
                : "") << std::endl;
        return 1;
    }
    // Which side a pair belongs to is the user's to know: both are told.
    std::cout << base << ".key: the public key. Of the server's pair: copy it to each AI "
            "engine (skyloom-publish --server-key). Of an AI engine's pair: copy it into the "
            "server's \"" << setting::kAuthorizedEnginesDirectory.name << "\"." << std::endl
        << base << ".key_secret: the secret key (mode 0600); it never leaves this machine. "
            "Of the server's pair: the server's \"" << setting::kCurveSecretKeyFile.name
        << "\". Of an AI engine's pair: the engine's own (skyloom-publish --key)." << std::endl;
    return 0;
}

} // namespace skyloom::publish
