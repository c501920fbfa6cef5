// CurveZMQ for skyloom-publish: the client keys of its PUB socket from certificate files, and
// the --make-certificate command that writes a key pair. Errors come back as text. Main thread.
#pragma once

#include <string>

#include <zmq.hpp>

namespace skyloom::publish {

/**
 * Makes the socket a CurveZMQ client of the server whose public certificate is
 * `serverKeyFile`, with the secret certificate `keyFile`; on failure the reason.
 */
[[nodiscard]] std::string applyCurveKeys(
    zmq::socket_t& socket, const std::string& serverKeyFile, const std::string& keyFile);

/** Writes DIR/NAME.key and DIR/NAME.key_secret (0600); 0 or the exit status of a failure. */
[[nodiscard]] int makeCertificate(const std::string& name, const std::string& directory);

} // namespace skyloom::publish
