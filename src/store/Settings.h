// The program's settings file: where it lies and the two steps the main
// window runs on it. Each step builds a store on the file, uses it and drops
// it; nothing stays open between steps, so other programs may edit the file
// meanwhile and their sections and keys survive our writes.
//
// An installed program (IsInstalledProgram) never writes beside itself, root
// included: its file is the user's $XDG_CONFIG_HOME/tessaro/mowkin.ini
// (default ~/.config/...), and until that exists the administrator's
// defaults, the first tessaro/mowkin.ini of $XDG_CONFIG_DIRS (default
// /etc/xdg), are read in its place and seed it at the first write.
// Any other copy (a build or unpacked folder) keeps the file beside itself
// while it can be written there (the file itself, or the folder for a new
// one); where neither can be, it uses the user's file, seeded by the one
// beside it. Same format and keys everywhere.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view SettingsSection = "TESSAROPRO";
inline constexpr std::string_view LastIpKey = "LASTIP";
inline constexpr std::string_view LastPortKey = "LASTPORT";
inline constexpr std::string_view CodePageKey = "CODEPAGE";
inline constexpr std::string_view AllowKey = "ALLOW";
inline constexpr std::string_view PassphraseKey = "PASSPHRASE";
inline constexpr std::string_view ReconnectKey = "RECONNECT";
inline constexpr std::string_view MaxPeersKey = "MAXPEERS";
// The peer offered until another is given: the first text of the address
// and port boxes, the value of a missing LASTIP or LASTPORT key, and where
// "Connect" goes with an empty address box.
inline constexpr std::string_view DefaultPeerAddress = "192.168.0.1";
inline constexpr int DefaultPeerPort = 3100;
// Joined to a directory that already ends in "/": the path holds "//",
// which is harmless and is the path the messages show.
inline constexpr std::string_view SettingsFileName = "/mowkin.ini";
// Below the user's and the system's configuration folders.
inline constexpr std::string_view UserSettingsFileName = "tessaro/mowkin.ini";
// An installed program's desktop entry, from the prefix the program's bin/
// lies in.
inline constexpr std::string_view InstalledEntryPath = "share/applications/io.github.tessaro.Tessaro.desktop";
// The executable's path is cut to what a buffer of this many bytes holds
// besides its terminating zero, and the file lies beside the path so cut.
inline constexpr std::size_t ExePathBufferBytes = 261;

// Where the two steps read and write.
struct TSettingsLocation {
    TSettingsLocation(std::string file = {}, std::string seed = {}) : File(std::move(file)), Seed(std::move(seed)) {}

    // Read, and the only file written; missing folders on its way are made
    // (private to the user) at its first write.
    std::string File;
    // Read in File's place while File does not exist, when it can be read;
    // empty for none.
    std::string Seed;
};

struct TStoredPeer {
    std::string LastIp;
    std::string LastPort;
};

// The settings file beside the running executable; built afresh per call.
std::string SettingsPath();
// The settings file for an executable at `exePath`: the path cut to
// ExePathBufferBytes - 1 bytes, up to and including its last "/", then
// SettingsFileName.
std::string SettingsPath(std::string_view exePath);

// $XDG_CONFIG_HOME (when absolute, else $HOME/.config, else the user's
// home from the password database) followed by "/" UserSettingsFileName.
std::string UserSettingsPath();
// The first folder of $XDG_CONFIG_DIRS (colon-separated absolute paths;
// /etc/xdg when unset or empty) holding UserSettingsFileName, followed by it;
// empty when none does.
std::string SystemSettingsPath();
// Whether the executable at `exePath` is an installed copy: its folder is
// named "bin" and the prefix above it holds InstalledEntryPath, as every
// install (cmake --install, the .deb) puts there and a build folder does not.
bool IsInstalledProgram(std::string_view exePath);
// For a copy that is not installed: beside the program (`besidePath`) when
// that file or, for a new file, its folder can be written by this process;
// else `userPath` seeded by `besidePath`.
TSettingsLocation ChooseSettingsLocation(const std::string& besidePath, const std::string& userPath);
// The location for the running executable and this user.
TSettingsLocation SettingsLocation();

// Reads LASTIP and LASTPORT, each with its fallback when missing (an empty
// value is a value). Throws EFOpenError when the file exists but cannot be read.
TStoredPeer ReadSettings(const TSettingsLocation& location);
// Loads the file's current content, sets LASTIP and LASTPORT and rewrites the
// file, with mode 0600 when it holds a PASSPHRASE. Throws EFOpenError,
// EFCreateError or EWriteError; the file is then unchanged (or, where it
// could only be written in place, holds what was written).
void WriteSettings(const TSettingsLocation& location, std::string_view lastIp, std::string_view lastPort);
// The optional CODEPAGE key, empty when missing. The program never writes it.
std::string ReadCodePage(const TSettingsLocation& location);
// The optional peer keys, read once at start and never written.
struct TPeerPolicy {
    std::string Allow;      // ALLOW: addresses and ranges; empty when missing
    std::string Passphrase; // PASSPHRASE: empty when missing
    std::string Reconnect;  // RECONNECT: "0" makes "Connect" a single attempt
    std::string MaxPeers;   // MAXPEERS: empty when missing
};
TPeerPolicy ReadPeerPolicy(const TSettingsLocation& location);
