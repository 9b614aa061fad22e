// A client of brennmarkd's JSON API, for brennmark-cli and the panel: one
// connection per request, one request line and its one reply line. On POSIX
// the service's Unix socket; on Windows its loopback TCP endpoint, with the
// token from its endpoint file sent first. Blocking: the panel calls it off
// its interface thread.
#pragma once

#include <string>

namespace bm {

// The longest a request may take: a set of several tone ramps or a restore
// stays well within it; the service bounds every exchange on the line itself.
inline constexpr int kServiceReplyLimitMs = 120000;

// Sends `request` (one JSON object, without its newline) to the service that
// `device` names ("service", "unix:PATH") and returns its reply line in
// `reply`. False, with the reason in `error`, when the service could not be
// reached, refused the token, or closed or went quiet for `limitMs` without
// answering.
bool askService(const std::string& device, const std::string& request, std::string& reply, std::string& error,
                int limitMs = kServiceReplyLimitMs);

// Bytes as base64 (RFC 4648, padded), as the API carries files.
std::string base64Encode(const std::string& bytes);

} // namespace bm
