// brennmark-cli through Debian's ser2net in front of the simulated unit's
// pseudo-terminal: telnet(rfc2217) for rfc2217:// and a raw tcp port for
// tcp://. The same commands give what the direct port gives; a server that
// does not take the line's settings is refused; a ser2net killed and started
// again is a lost line that comes back while watched.
#include "cli_rig.h"

#include "tests/support/wait_until.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace bm::test {
namespace {

// A loopback port free right now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string ser2netPath()
{
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (::access(p, X_OK) == 0)
            return p;
    return {};
}

class Ser2net : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        if (ser2netPath().empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/deps installs it)";
        startUnit();
        rfcPort = freePort();
        rawPort = freePort();
        std::ofstream yaml(folder.file("ser2net.yaml"));
        const std::string tty = sim->terminalPath();
        yaml << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfcPort
             << "\n  connector: serialdev," << tty << ",19200o81,local\n"
             << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort << "\n  connector: serialdev," << tty
             << ",19200o81,local\n";
    }

    void startServer()
    {
        server = std::make_unique<Process>(
            std::vector<std::string>{ser2netPath(), "-d", "-c", folder.file("ser2net.yaml"), "-P",
                                     folder.file("ser2net.pid")},
            folder.file("config"), folder.file("ser2net.out"), folder.file("ser2net.err"));
        ASSERT_TRUE(waitUntil([&] { return accepts(rfcPort) && accepts(rawPort); }, 10000)) << server->err();
    }

    CliResult through(const std::string& port, std::vector<std::string> args)
    {
        std::vector<std::string> all{"--port", port};
        all.insert(all.end(), args.begin(), args.end());
        return cli(all, false);
    }

    std::string rfc() const { return "rfc2217://127.0.0.1:" + std::to_string(rfcPort); }
    std::string raw() const { return "tcp://127.0.0.1:" + std::to_string(rawPort); }

    int rfcPort = 0;
    int rawPort = 0;
    std::unique_ptr<Process> server;
};

TEST_F(Ser2net, CommandsGiveWhatTheDirectPortGives)
{
    startServer();
    struct Step {
        std::vector<std::string> args;
    };
    const std::string saved = folder.file("saved.lex");
    const Step steps[] = {
        {{"status"}},
        {{"set", "volume", "-30"}},
        {{"get", "volume", "bass"}},
        {{"save", saved}},
        {{"set", "volume", "-20"}},
        {{"restore", saved}},
        {{"get", "--value", "volume"}},
    };
    for (const std::string& port : {rfc(), raw()}) {
        for (const Step& s : steps) {
            SCOPED_TRACE(port + " " + s.args[0]);
            const CliResult direct = through(folder.file("unit"), s.args);
            const CliResult bridged = through(port, s.args);
            EXPECT_EQ(bridged.status, direct.status) << bridged.err;
            if (s.args[0] != "save" && s.args[0] != "restore") {
                EXPECT_EQ(bridged.out, direct.out);
            }
            EXPECT_EQ(direct.status, 0) << direct.err;
        }
    }
    EXPECT_EQ(through(rfc(), {"get", "--value", "volume"}).out, "-30\n");
}

TEST_F(Ser2net, AServerThatDoesNotSetTheLineIsRefused)
{
    startServer();
    // The raw port answers no Telnet at all: the settings are never confirmed.
    const CliResult r = through("rfc2217://127.0.0.1:" + std::to_string(rawPort), {"status"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("did not confirm the line's settings"), std::string::npos) << r.err;
}

TEST_F(Ser2net, ALineDropWhileWatchedComesBack)
{
    startServer();
    auto watch = std::make_unique<Process>(
        std::vector<std::string>{BM_CLI_PATH, "--port", rfc(), "watch", "--json", "--seconds", "12"},
        folder.file("config"), folder.file("watch.out"), folder.file("watch.err"));
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"event\":\"state\"") != std::string::npos; }, 10000))
        << watch->err();
    server->terminate();
    server->wait();
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"state\":\"lost\"") != std::string::npos; }, 10000))
        << watch->out();
    startServer();
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string out = watch->out();
            const auto lost = out.find("\"state\":\"lost\"");
            return lost != std::string::npos && out.find("\"state\":\"connected\"", lost) != std::string::npos;
        },
        10000))
        << watch->out();
    sim->command("set VOLUME 50");
    EXPECT_TRUE(waitUntil([&] { return watch->out().find("\"name\":\"volume\"") != std::string::npos; }, 5000))
        << watch->out();
    EXPECT_EQ(watch->wait(), 0) << watch->err();
}

} // namespace
} // namespace bm::test
