// CurveZMQ for skyloom-publish: the client keys of its PUB socket from certificate files, and
// the --make-certificate command that writes a key pair. Errors come back as text. Main thread.
#pragma once

#include <string>
#include <vector>

#include <zmq.hpp>

namespace skyloom::publish {

/**
 * Makes the socket a CurveZMQ client of the server whose public certificate is
 * `serverKeyFile`, with the secret certificate `keyFile`; on failure the reason.
 */
[[nodiscard]] std::string applyCurveKeys(
    zmq::socket_t& socket, const std::string& serverKeyFile, const std::string& keyFile);

/**
 * --make-certificate with its arguments (NAME DIR, and --replace to replace an existing pair):
 * writes DIR/NAME.key and DIR/NAME.key_secret (0600) and says where each goes; 0 or the exit
 * status of a failure.
 */
[[nodiscard]] int makeCertificate(const std::vector<std::string>& args);

} // namespace skyloom::publish
