#include "curve_keys.h"

#include <iostream>

#include "ingress/certificates.h"

namespace skyloom::publish {

using nx::vms_server_plugins::analytics::sample::readPublicCertificate;
using nx::vms_server_plugins::analytics::sample::readSecretCertificate;
using nx::vms_server_plugins::analytics::sample::writeCertificatePair;

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

int makeCertificate(const std::string& name, const std::string& directory)
{
    if (name.empty() || name.find('/') != std::string::npos)
    {
        std::cerr << "skyloom-publish: bad certificate name '" << name << "'" << std::endl;
        return 2;
    }
    std::string error;
    if (!writeCertificatePair(directory, name, &error))
    {
        std::cerr << "skyloom-publish: " << error << std::endl;
        return 1;
    }
    std::cout << directory << "/" << name << ".key (public, give it to the server)" << std::endl
        << directory << "/" << name << ".key_secret (secret, keep it here)" << std::endl;
    return 0;
}

} // namespace skyloom::publish
