#include "Settings.h"

#include "MemIniFile.h"

#include <climits>
#include <unistd.h>

std::string SettingsPath(std::string_view exePath)
{
    exePath = exePath.substr(0, ExePathBufferBytes - 1);
    const std::size_t slash = exePath.rfind('/');
    std::string path(slash == std::string_view::npos ? std::string_view() : exePath.substr(0, slash + 1));
    path += SettingsFileName;
    return path;
}

std::string SettingsPath()
{
    // Should /proc be missing, the executable path is empty and so is its
    // directory, as for any path without a "/".
    char exe[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe);
    return SettingsPath(length > 0 ? std::string_view(exe, static_cast<std::size_t>(length)) : std::string_view());
}

TStoredPeer ReadSettings(const std::string& path)
{
    const TMemIniFile store(path);
    return TStoredPeer{store.GetValue(SettingsSection, LastIpKey, LastIpFallback),
                       store.GetValue(SettingsSection, LastPortKey, LastPortFallback)};
}

void WriteSettings(const std::string& path, std::string_view lastIp, std::string_view lastPort)
{
    TMemIniFile store(path);
    store.PutValue(SettingsSection, LastIpKey, lastIp);
    store.PutValue(SettingsSection, LastPortKey, lastPort);
    store.SetOwnerOnly(!store.GetValue(SettingsSection, PassphraseKey, "").empty());
    store.SaveToDisk();
}

std::string ReadCodePage(const std::string& path)
{
    const TMemIniFile store(path);
    return store.GetValue(SettingsSection, CodePageKey, "");
}

TPeerPolicy ReadPeerPolicy(const std::string& path)
{
    const TMemIniFile store(path);
    TPeerPolicy policy;
    policy.Allow = store.GetValue(SettingsSection, AllowKey, "");
    policy.Passphrase = store.GetValue(SettingsSection, PassphraseKey, "");
    return policy;
}
