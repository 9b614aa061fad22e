// The service's socket layer on each platform (the Windows build runs it
// under Wine): the wake-up from another thread, a TCP listener's client with
// bytes both ways and its close, the endpoint file's write and its token.
#include "service/service_io.h"

#include "platform/service_socket.h"
#include "platform/tcp_serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace bm::service {
namespace {

using namespace std::chrono_literals;

bool readyWithin(io::Socket s, int ms)
{
    std::vector<io::Watch> w{{s, true}};
    return io::waitSockets(w, ms) && (w[0].readable || w[0].failed);
}

TEST(ServiceIo, AWakeUpFromAnotherThreadEndsTheWaitUntilDrained)
{
    io::Wakeup wake;
    std::string error;
    ASSERT_TRUE(wake.open(error)) << error;
    EXPECT_FALSE(readyWithin(wake.socket(), 10)) << "woken before anyone raised it";
    std::thread raiser([&] {
        std::this_thread::sleep_for(20ms);
        wake.raise();
        wake.raise(); // raised twice before the loop looks: one drain takes both
    });
    EXPECT_TRUE(readyWithin(wake.socket(), 10000));
    raiser.join();
    wake.drain();
    EXPECT_FALSE(readyWithin(wake.socket(), 10)) << "still raised after the drain";
}

#ifndef _WIN32
// A listening socket that is no longer valid is reported as failed, so that
// the service's loop ends (and says so) rather than waking for nothing forever.
TEST(ServiceIo, AListenerThatIsGoneIsReportedFailed)
{
    io::Socket listener = io::kNoSocket;
    int port = 0;
    std::string error;
    ASSERT_TRUE(io::listenTcp("127.0.0.1", 0, listener, port, error)) << error;
    std::vector<io::Watch> open{{listener, true}};
    ASSERT_TRUE(io::waitSockets(open, 0));
    EXPECT_FALSE(open[0].failed);
    io::closeSocket(listener);
    std::vector<io::Watch> gone{{listener, true}};
    ASSERT_TRUE(io::waitSockets(gone, 1000));
    EXPECT_TRUE(gone[0].failed);
}
#endif

TEST(ServiceIo, AListenersClientBytesBothWaysAndItsClose)
{
    io::Socket listener = io::kNoSocket;
    int port = 0;
    std::string error;
    ASSERT_TRUE(io::listenTcp("127.0.0.1", 0, listener, port, error)) << error;
    ASSERT_GT(port, 0);
    EXPECT_EQ(io::acceptClient(listener), io::kNoSocket) << "a client before anyone connected";

    TcpSerialPort client("tcp://127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(client.open(0)) << client.openError();
    ASSERT_TRUE(readyWithin(listener, 10000));
    const io::Socket s = io::acceptClient(listener);
    ASSERT_NE(s, io::kNoSocket);

    const std::string hello = "hello";
    client.startWrite(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size());
    std::string got;
    char buffer[64];
    while (got.size() < hello.size() && readyWithin(s, 10000)) {
        const long n = io::receiveSome(s, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, hello);
    EXPECT_EQ(io::receiveSome(s, buffer, sizeof buffer), io::kWouldBlock) << "nothing more was sent";

    EXPECT_EQ(io::sendSome(s, "answer", 6), 6);
    std::string answer;
    WakeSignal never;
    for (int i = 0; i < 100 && answer.size() < 6; ++i) {
        client.waitForBytes(never, 100);
        std::uint8_t bytes[64];
        const std::size_t n = client.readAvailable(bytes, sizeof bytes);
        answer.append(reinterpret_cast<const char*>(bytes), n);
    }
    EXPECT_EQ(answer, "answer");

    client.close();
    ASSERT_TRUE(readyWithin(s, 10000)) << "the client's close was not seen";
    EXPECT_EQ(io::receiveSome(s, buffer, sizeof buffer), 0) << "a close reads as 0";
    io::closeSocket(s);
    io::closeSocket(listener);
}

TEST(ServiceIo, TheEndpointFileIsReplacedAndEachTokenIsNew)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("bm-service-io-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    const std::string folder = (dir / "Brennmark").string();
    std::string error;
    ASSERT_TRUE(io::makeFolders(folder, error)) << error;
    const std::string path = (dir / "Brennmark" / "brennmarkd.token").string();
    std::set<std::string> tokens;
    for (int i = 0; i < 3; ++i) {
        const std::string token = io::randomHex(32);
        ASSERT_EQ(token.size(), 64u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        tokens.insert(token);
        ASSERT_TRUE(io::writePrivateFile(path, "127.0.0.1:7300\n" + token + "\n", error)) << error;
        std::ifstream in(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "127.0.0.1:7300\n" + token + "\n") << "the file was not replaced whole";
    }
    EXPECT_EQ(tokens.size(), 3u) << "a token came twice";
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    EXPECT_FALSE(std::filesystem::exists(path + ".new")) << "the temporary file was left";
    io::removeFile(path);
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(dir);
}

#ifndef _WIN32
// The endpoint file hands out the token: a client takes it only as the one
// reader of private files allows (owner-only), as the token and the MQTT
// credentials are taken.
TEST(ServiceIo, TheEndpointFileIsTakenOnlyWhenPrivate)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("bm-endpoint-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "brennmarkd.endpoint").string();
    const struct {
        const char* name;
        int mode; // -1: no file; -2: a symbolic link to a private one; -3: a folder
        const char* error; // empty: taken
    } cases[] = {
        {"owner read and write", 0600, ""},
        {"owner read only", 0400, ""},
        {"group may read", 0640, "chmod 600"},
        {"anyone may read", 0644, "chmod 600"},
        {"group may write", 0620, "chmod 600"},
        {"missing", -1, "brennmarkd is not running"},
        {"a symbolic link", -2, "brennmarkd is not running"},
        {"a folder", -3, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(path);
        std::string error;
        if (c.mode >= 0) {
            ASSERT_TRUE(io::writePrivateFile(path, "127.0.0.1:7300\nsecret\n", error)) << error;
            ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.mode)), 0);
        } else if (c.mode == -2) {
            ASSERT_TRUE(io::writePrivateFile(path + ".real", "127.0.0.1:7300\nsecret\n", error)) << error;
            std::filesystem::create_symlink(path + ".real", path);
        } else if (c.mode == -3) {
            std::filesystem::create_directory(path);
        }
        ServiceEndpoint endpoint;
        error.clear();
        const bool taken = readServiceEndpoint(path, endpoint, error);
        EXPECT_EQ(taken, *c.error == '\0') << error;
        if (taken) {
            EXPECT_EQ(endpoint.token, "secret");
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    std::filesystem::remove_all(dir);
}
#endif

} // namespace
} // namespace bm::service
