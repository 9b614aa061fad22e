// brennmark-cli web: the web remote's login link (brennmarkd --http), as text,
// as a QR code for a phone, and opened in the browser where there is a display.
#pragma once

#include "cli/cli_commands.h"

#include <string>

namespace bm::cli {

int checkWeb(CliSession& session, const Invocation& invocation);
int runWeb(CliSession& session, const Invocation& invocation);

// The link that logs a browser in: http://HOST:PORT/login?token=T.
std::string webLoginUrl(const std::string& host, int port, const std::string& token);
// `text` as a QR code in the terminal (two modules a character, with a quiet
// zone); empty where the program is built without libqrencode.
std::string terminalQrCode(const std::string& text);
// Opens `url` in the user's browser where there is a display (xdg-open; the
// shell on Windows). False when there is none or it could not be started.
bool openInBrowser(const std::string& url);

} // namespace bm::cli
