#include "store/Settings.h"

#include "base/SysUtils.h"
#include "store/MemIniFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t UserFolderMode = 0700;

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

bool Exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Checked with the effective ids, as the open itself will be.
bool Writable(const std::string& path, int mode)
{
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// Makes every missing folder on the way to `path`'s own folder, private to
// the user as the configuration folders are. A failure shows later, when the
// file cannot be created.
void MakeFoldersFor(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), UserFolderMode) != 0 && errno != EEXIST) return;
    }
}

// The file to read for `location`: its own, else the seed when it can be read.
std::string FileToRead(const TSettingsLocation& location)
{
    if (location.Seed.empty() || Exists(location.File)) return location.File;
    return Writable(location.Seed, R_OK) ? location.Seed : location.File;
}

// Should /proc be missing, the executable path is empty and so is its
// directory, as for any path without a "/".
std::string ExePath()
{
    char exe[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe);
    return length > 0 ? std::string(exe, static_cast<std::size_t>(length)) : std::string();
}

// What a read step freed goes back to the system: a large file must not cost
// its memory for the life of the process.
void ReturnFreedMemory()
{
    ::malloc_trim(0);
}

} // namespace

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
    return SettingsPath(ExePath());
}

std::string UserSettingsPath()
{
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const passwd* user = ::getpwuid(::geteuid());
            home = user ? user->pw_dir : "";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/" + std::string(UserSettingsFileName);
}

std::string SystemSettingsPath()
{
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    const std::string_view list = dirs && *dirs ? dirs : "/etc/xdg";
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(':', start);
        if (end == std::string_view::npos) end = list.size();
        const std::string_view dir = list.substr(start, end - start);
        if (!dir.empty() && dir.front() == '/') {
            std::string path(dir);
            path += '/';
            path += UserSettingsFileName;
            if (Exists(path)) return path;
        }
        start = end + 1;
    }
    return {};
}

bool IsInstalledProgram(std::string_view exePath)
{
    const std::size_t slash = exePath.rfind('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view folder = exePath.substr(0, slash);
    constexpr std::string_view BinFolder = "/bin";
    if (folder.size() < BinFolder.size() || folder.substr(folder.size() - BinFolder.size()) != BinFolder)
        return false;
    std::string entry(folder.substr(0, folder.size() - BinFolder.size() + 1));
    entry += InstalledEntryPath;
    return Exists(entry);
}

TSettingsLocation ChooseSettingsLocation(const std::string& besidePath, const std::string& userPath)
{
    const bool besideWritable =
        Exists(besidePath) ? Writable(besidePath, W_OK) : Writable(FolderOf(besidePath), W_OK | X_OK);
    if (besideWritable) return TSettingsLocation(besidePath);
    return TSettingsLocation(userPath, besidePath);
}

TSettingsLocation SettingsLocation()
{
    const std::string exe = ExePath();
    if (IsInstalledProgram(exe)) return TSettingsLocation(UserSettingsPath(), SystemSettingsPath());
    return ChooseSettingsLocation(SettingsPath(exe), UserSettingsPath());
}

TStoredPeer ReadSettings(const TSettingsLocation& location)
{
    TStoredPeer peer;
    {
        const TMemIniFile store(FileToRead(location));
        peer = {store.GetValue(SettingsSection, LastIpKey, DefaultPeerAddress),
                store.GetValue(SettingsSection, LastPortKey, IntToStr(DefaultPeerPort))};
    }
    ReturnFreedMemory();
    return peer;
}

void WriteSettings(const TSettingsLocation& location, std::string_view lastIp, std::string_view lastPort)
{
    {
        TMemIniFile store(location.File);
        const std::string source = FileToRead(location);
        if (source != location.File) store.LoadFromFile(source);
        if (!Exists(location.File)) MakeFoldersFor(location.File);
        store.PutValue(SettingsSection, LastIpKey, lastIp);
        store.PutValue(SettingsSection, LastPortKey, lastPort);
        store.SetOwnerOnly(!store.GetValue(SettingsSection, PassphraseKey, "").empty());
        store.SaveToDisk();
    }
    ReturnFreedMemory();
}

std::string ReadCodePage(const TSettingsLocation& location)
{
    std::string codePage;
    {
        const TMemIniFile store(FileToRead(location));
        codePage = store.GetValue(SettingsSection, CodePageKey, "");
    }
    ReturnFreedMemory();
    return codePage;
}

TPeerPolicy ReadPeerPolicy(const TSettingsLocation& location)
{
    TPeerPolicy policy;
    {
        const TMemIniFile store(FileToRead(location));
        policy.Allow = store.GetValue(SettingsSection, AllowKey, "");
        policy.Passphrase = store.GetValue(SettingsSection, PassphraseKey, "");
        policy.Reconnect = store.GetValue(SettingsSection, ReconnectKey, "");
        policy.MaxPeers = store.GetValue(SettingsSection, MaxPeersKey, "");
    }
    ReturnFreedMemory();
    return policy;
}
