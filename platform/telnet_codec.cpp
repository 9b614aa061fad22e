// Telnet decoding and encoding for the RFC 2217 line.
#include "platform/telnet_codec.h"

namespace bm {

using namespace telnet;

bool TelnetCodec::wanted(std::uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

std::vector<std::uint8_t> TelnetCodec::greeting()
{
    willSent_[kComPort] = willSent_[kBinary] = true;
    doSent_[kBinary] = doSent_[kSuppressGoAhead] = true;
    return {kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kDo, kSuppressGoAhead};
}

void TelnetCodec::decode(const std::uint8_t* data, std::size_t length, Decoded& out)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = data[i];
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                out.data.push_back(b);
            break;
        case State::Iac:
            if (b == kIac) {
                out.data.push_back(b);
                state_ = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb) {
                sub_.clear();
                state_ = State::Sub;
            } else {
                state_ = State::Data; // NOP, GA, break and the like: nothing for a serial line
            }
            break;
        case State::Verb: {
            state_ = State::Data;
            auto answer = [&](std::array<bool, 256>& sent, std::uint8_t verb) {
                if (!sent[b]) {
                    sent[b] = true;
                    out.reply.insert(out.reply.end(), {kIac, verb, b});
                }
            };
            if (verb_ == kWill)
                wanted(b) ? answer(doSent_, kDo) : answer(dontSent_, kDont);
            else if (verb_ == kDo)
                wanted(b) ? answer(willSent_, kWill) : answer(wontSent_, kWont);
            else
                out.refused.push_back(b);
            break;
        }
        case State::Sub:
            if (b == kIac)
                state_ = State::SubIac;
            else
                sub_.push_back(b);
            break;
        case State::SubIac:
            if (b == kIac) {
                sub_.push_back(b);
                state_ = State::Sub;
            } else {
                // IAC SE ends it (anything else after IAC ends it too).
                if (!sub_.empty())
                    out.subnegotiations.push_back(sub_);
                sub_.clear();
                state_ = State::Data;
            }
            break;
        }
    }
}

std::vector<std::uint8_t> TelnetCodec::encode(const std::uint8_t* data, std::size_t length)
{
    std::vector<std::uint8_t> out;
    out.reserve(length + 4);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac)
            out.push_back(kIac);
    }
    return out;
}

std::vector<std::uint8_t> TelnetCodec::subnegotiation(std::uint8_t option, const std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> out{kIac, kSb, option};
    const auto body = encode(payload.data(), payload.size());
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), {kIac, kSe});
    return out;
}

} // namespace bm
