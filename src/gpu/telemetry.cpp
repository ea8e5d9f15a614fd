#include "gpu/telemetry.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

// "domain:rest" as (domain number, lower-case rest); a domain of -1 when it is no hex number.
std::pair<long, std::string> split_bus_id(const std::string& id)
{
    const size_t colon = id.find(':');
    std::string rest = colon == std::string::npos ? id : id.substr(colon + 1);
    std::transform(rest.begin(), rest.end(), rest.begin(), [](unsigned char c) { return std::tolower(c); });
    if (colon == std::string::npos || colon == 0) return {-1, rest};
    char* end = nullptr;
    const std::string domain = id.substr(0, colon);
    const long value = std::strtol(domain.c_str(), &end, 16);
    return {end == domain.c_str() + domain.size() ? value : -1, rest};
}

}  // namespace

bool same_pci_bus_id(const std::string& a, const std::string& b)
{
    const auto [domain_a, rest_a] = split_bus_id(a);
    const auto [domain_b, rest_b] = split_bus_id(b);
    return domain_a >= 0 && domain_a == domain_b && !rest_a.empty() && rest_a == rest_b;
}
