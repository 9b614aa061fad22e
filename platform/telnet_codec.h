// Telnet as an RFC 2217 serial server speaks it: data with IAC (0xFF)
// doubled, option negotiation (WILL, WONT, DO, DONT) and subnegotiations
// (IAC SB option ... IAC SE). Bytes only, no socket; keeps its place across
// chunks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bm {

namespace telnet {
inline constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
inline constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
// RFC 2217 commands, client to server; the server answers each with 100 more.
inline constexpr std::uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                              kSetControl = 5;
inline constexpr std::uint8_t kParityOdd = 2, kStopOne = 1, kNoFlowControl = 1;
} // namespace telnet

class TelnetCodec {
public:
    struct Decoded {
        std::vector<std::uint8_t> data;  // the serial line's bytes
        std::vector<std::uint8_t> reply; // negotiation answers to send back
        std::vector<std::vector<std::uint8_t>> subnegotiations; // each: option, then its bytes
        std::vector<std::uint8_t> refused; // options the server refused (WONT or DONT)
    };

    // What the client asks for first: to use the COM port option and binary
    // both ways, and to have the server suppress go-ahead.
    std::vector<std::uint8_t> greeting();
    // Takes bytes from the server into `out` (appending).
    void decode(const std::uint8_t* data, std::size_t length, Decoded& out);

    // Data for the server: IAC doubled.
    static std::vector<std::uint8_t> encode(const std::uint8_t* data, std::size_t length);
    // IAC SB option payload IAC SE, IAC doubled inside.
    static std::vector<std::uint8_t> subnegotiation(std::uint8_t option, const std::vector<std::uint8_t>& payload);

private:
    static bool wanted(std::uint8_t option);
    enum class State { Data, Iac, Verb, Sub, SubIac };
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> sub_;
    // Answers already given, so that a server repeating itself gets no loop.
    std::array<bool, 256> willSent_{}, doSent_{}, wontSent_{}, dontSent_{};
};

} // namespace bm
