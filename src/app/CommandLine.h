// The start-up options, applied once while the main window is created, after
// the settings read, so that an option overrides a stored value:
//
//   /addr:<text>  the address box gets <text>      /server  "ONLINE" is clicked
//   /port:<text>  the port box gets <text>         /client  "Connect" is clicked
//   /mini         hide to the notification area about a second after start
//
// Arguments come already split by the shell. Matching is byte for byte and
// case-sensitive; anything else is ignored without a word. An action that
// raises ends the scan there (the error goes to the caller) and "/mini" is
// then not honoured.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct TCommandLineActions {
    std::function<void(const std::string&)> SetAddress;
    std::function<void(const std::string&)> SetPort;
    std::function<void()> ClickServer;
    std::function<void()> ClickClient;
    std::function<void()> StartMinimised;
};

// `arguments` holds argv[0] first; options are taken from index 1 on.
void ApplyCommandLine(const std::vector<std::string>& arguments, const TCommandLineActions& actions);
