#include "api/api_settings.h"

#include <arpa/inet.h>

#include <cstdint>
#include <exception>

namespace {

bool is_ipv4(const std::string& host, in_addr& address)
{
    return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

bool is_ipv6(const std::string& host, in6_addr& address)
{
    return inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

}  // namespace

std::string apiAddressText(const std::string& host, int port)
{
    return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
}

std::string readApiAddress(const std::string& text, ApiSettings& settings)
{
    if (text == "off") {
        settings.enabled = false;
        return "";
    }
    const std::string invalid = "Invalid --api value: " + text;
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return invalid + " (HOST:PORT or off)";
    std::string host = text.substr(0, colon);
    const std::string port_text = text.substr(colon + 1);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    in_addr v4;
    in6_addr v6;
    if (!(bracketed ? is_ipv6(host, v6) : is_ipv4(host, v4)))
        return invalid + " (the host must be a numeric address, an IPv6 one in brackets)";
    int port = -1;
    size_t used = 0;
    try {
        port = std::stoi(port_text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    // Port 0 takes any free port; the start-up line names it.
    if (used == 0 || used != port_text.size() || port < 0 || port > 65535)
        return invalid + " (the port must be 0 to 65535)";
    settings.enabled = true;
    settings.host = host;
    settings.port = port;
    return "";
}

bool isLoopbackAddress(const std::string& host)
{
    in_addr v4;
    in6_addr v6;
    if (is_ipv4(host, v4)) return (ntohl(v4.s_addr) >> 24) == 127;
    if (!is_ipv6(host, v6)) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    // ::ffff:127.x.x.x is IPv4's loopback seen through an IPv6 socket
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::string apiSettingsError(const ApiSettings& settings)
{
    if (!settings.enabled || !settings.token.empty() || isLoopbackAddress(settings.host)) return "";
    return "--api " + apiAddressText(settings.host, settings.port) + " reaches beyond this machine: give --api-token TOKEN too, or listen on 127.0.0.1";
}
