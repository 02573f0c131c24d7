#include "app/CommandLine.h"

#include <string_view>

namespace {

constexpr std::string_view AddrPrefix = "/addr:";
constexpr std::string_view PortPrefix = "/port:";
constexpr std::string_view ServerOption = "/server";
constexpr std::string_view ClientOption = "/client";
constexpr std::string_view MiniOption = "/mini";

} // namespace

void ApplyCommandLine(const std::vector<std::string>& arguments, const TCommandLineActions& actions)
{
    bool startMinimised = false;
    for (std::size_t n = 1; n < arguments.size(); ++n) {
        const std::string& argument = arguments[n];
        // An argument shorter than a prefix is compared whole, so it never
        // matches one ("/addr" without its colon is no option).
        if (argument.starts_with(AddrPrefix)) actions.SetAddress(argument.substr(AddrPrefix.size()));
        if (argument.starts_with(PortPrefix)) actions.SetPort(argument.substr(PortPrefix.size()));
        if (argument == ServerOption) actions.ClickServer();
        if (argument == ClientOption) actions.ClickClient();
        if (argument == MiniOption) startMinimised = true;
    }
    if (startMinimised) actions.StartMinimised();
}
