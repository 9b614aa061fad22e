// The order of the Windows port list, kept apart from the registry so that it
// is tested on every platform.
#include "platform/serial_ports.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <set>
#include <tuple>

namespace bm {
namespace {

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The port number of "COMn", or -1 for another name.
long comNumber(const std::string& upperName)
{
    if (upperName.size() < 4 || upperName.size() > 8 || upperName.compare(0, 3, "COM") != 0)
        return -1;
    const std::string digits = upperName.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0')
        return -1;
    return std::stol(digits);
}

} // namespace

std::vector<std::string> comPortList(const std::vector<std::string>& listed)
{
    std::vector<std::string> result{"COM1", "COM2", "COM3", "COM4"};
    std::set<std::string> seen(result.begin(), result.end());
    std::vector<std::tuple<long, std::string, std::string>> others; // number (or max), upper, shown
    for (const std::string& name : listed) {
        if (name.empty())
            continue;
        const std::string key = upper(name);
        if (!seen.insert(key).second)
            continue;
        const long n = comNumber(key);
        others.emplace_back(n < 0 ? LONG_MAX : n, key, n < 0 ? name : key);
    }
    std::sort(others.begin(), others.end());
    for (auto& o : others)
        result.push_back(std::move(std::get<2>(o)));
    return result;
}

} // namespace bm
