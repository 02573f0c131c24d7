// The socket layer's shared vocabulary: event and error kinds, the callback
// types the components publish, the notification flags, and every constant of
// the layer with its unit. Included by all other headers of src/net.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class TObject;
class TCustomWinSocket;
class TServerClientWinSocket;

// What a connection object reports to its owner.
enum TSocketEventKind {
    skLookup,
    skConnecting,
    skConnect,
    skDisconnect,
    skListen,
    skAccept,
    skWrite,
    skRead
};

// Which operation an error belongs to.
enum TErrorEvent {
    ekGeneral,
    ekSend,
    ekReceive,
    ekConnect,
    ekDisconnect,
    ekAccept,
    ekLookup
};

enum TClientType { ctNonBlocking, ctBlocking };
enum TServerType { stNonBlocking, stThreadBlocking };

// Progress of address and port resolution while a connect or listen is set up.
enum TResolveStage { rsIdle, rsAddress, rsService };

// The published events: Sender is the component (or the listening object for
// per-connection events), Socket the connection the event concerns. An error
// handler that sets ErrorCode to 0 suppresses the exception that would follow.
using TSocketNotifyEvent = std::function<void(TObject* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent = std::function<void(TObject* Sender, TCustomWinSocket* Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;
// May supply the object for a newly accepted socket handle.
using TGetSocketEvent = std::function<void(TObject* Sender, int Socket,
                                           TServerClientWinSocket*& ClientSocket)>;

// A connection object's two callbacks to its owner.
using TSocketEventSink = std::function<void(TCustomWinSocket* Sender, TCustomWinSocket* Socket,
                                            TSocketEventKind Kind)>;
using TSocketErrorSink = std::function<void(TCustomWinSocket* Sender, TCustomWinSocket* Socket,
                                            TErrorEvent Kind, int& ErrorCode)>;

// Why a peer was turned away before its owner ever saw a connection.
enum TRefusal {
    rfAddress,     // not in the allowed addresses
    rfKeyMismatch, // the encrypted link's handshake failed: another or no key
};
// Told when a peer is turned away; `PeerAddress` is dotted IPv4 text.
using TSocketRefusalSink = std::function<void(TCustomWinSocket* Sender, const std::string& PeerAddress,
                                              TRefusal Why)>;

// Notification flags. The bit values are fixed: the default set of a
// connection reads as 51, a listener's as 8.
using TNotifyStyles = std::uint8_t;
inline constexpr TNotifyStyles FD_READ = 1;
inline constexpr TNotifyStyles FD_WRITE = 2;
inline constexpr TNotifyStyles FD_OOB = 4;
inline constexpr TNotifyStyles FD_ACCEPT = 8;
inline constexpr TNotifyStyles FD_CONNECT = 16;
inline constexpr TNotifyStyles FD_CLOSE = 32;
inline constexpr TNotifyStyles ClientNotifyStyles = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
inline constexpr TNotifyStyles ListenerNotifyStyles = FD_ACCEPT;

inline constexpr int InvalidSocket = -1;

// The longest listen queue a listening object asks for; a longer one is cut
// to this.
inline constexpr int MaxListenQueueLength = 5;

// Idle threads a thread-per-client server would keep; stored, not used here.
inline constexpr int DefaultThreadCacheSize = 10;

// The error code a client's error handler is given when the client has
// neither a host nor an address.
inline constexpr int NoAddressErrorCode = 1110;

// Bytes a connection may hold back for a peer that is not reading before it is
// dropped with a send error.
inline constexpr std::size_t DefaultSendQueueLimitBytes = std::size_t{256} * 1024 * 1024;

// Delay before a listening socket retries an accept that failed for want of
// descriptors or memory; retrying at once would spin on the still-ready socket.
inline constexpr int AcceptRetryDelayMs = 100;

// TCP keepalive on every established connection, so that a peer that vanished
// without a word is noticed within IdleSec + IntervalSec * Probes seconds.
struct KeepAliveTimes {
    int IdleSec;
    int IntervalSec;
    int Probes;
};
inline constexpr KeepAliveTimes DefaultKeepAliveTimes{30, 10, 3};

// How long the encrypted link's handshake may take before the peer counts as
// one without the key: a copy without it never answers the hello.
inline constexpr int LinkHandshakeTimeoutMs = 10000;
// Accepted connections a server lets agree their key at once; a further one
// makes the oldest give way, so that silent connections cannot hold the door
// shut for a peer whose handshake takes milliseconds.
inline constexpr int MaxLinkHandshakes = 8;
// Plaintext decrypted per read event, at most (plus one record).
inline constexpr std::size_t LinkReadLimitBytes = std::size_t{1} << 20;
