#include "cli/cli_web.h"

#include "cli/cli_output.h"
#include "platform/service_socket.h"

#ifdef BM_WITH_QRENCODE
#include <qrencode.h>
#endif

namespace bm::cli {

std::string webLoginUrl(const std::string& host, int port, const std::string& token)
{
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + name + ":" + std::to_string(port) + "/login?token=" + token;
}

std::string terminalQrCode(const std::string& text)
{
#ifdef BM_WITH_QRENCODE
    QRcode* code = QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_L);
    if (!code)
        return {};
    const int n = code->width;
    const int quiet = 2;
    auto dark = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < n && y < n && (code->data[y * n + x] & 1) != 0;
    };
    // Two rows a line: upper and lower half blocks, dark modules as the
    // terminal's background (light text on dark terminals reads as light).
    std::string out;
    for (int y = -quiet; y < n + quiet; y += 2) {
        for (int x = -quiet; x < n + quiet; ++x) {
            const bool top = dark(x, y);
            const bool bottom = dark(x, y + 1);
            out += top ? (bottom ? " " : "\u2584") : (bottom ? "\u2580" : "\u2588");
        }
        out += "\n";
    }
    QRcode_free(code);
    return out;
#else
    (void)text;
    return {};
#endif
}

int checkWeb(CliSession&, const Invocation& inv)
{
    if (!inv.args.empty())
        return fail(kExitError, "web takes no arguments");
    return kExitOk;
}

int runWeb(CliSession&, const Invocation& inv)
{
    const auto file = inv.values.find("--file");
    const std::string path =
        file != inv.values.end() ? file->second : webEndpointPath(serviceSocketPath(kServiceDevice));
    ServiceEndpoint endpoint;
    std::string error;
    if (!readServiceEndpoint(path, endpoint, error))
        return fail(kExitError, "no web remote to open (" + error +
                                    "): start the service with brennmarkd --http PORT");
    const std::string url = webLoginUrl(endpoint.host, endpoint.port, endpoint.token);
    if (inv.json) {
        outJson({{"url", url}});
        return kExitOk;
    }
    out(url);
    if (!inv.has("--no-qr")) {
        const std::string qr = terminalQrCode(url);
        if (!qr.empty())
            out(qr);
    }
    if (!inv.has("--no-open"))
        openInBrowser(url);
    return kExitOk;
}

} // namespace bm::cli
