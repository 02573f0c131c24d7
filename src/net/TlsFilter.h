// TlsFilter: the encrypted link between two copies that share a passphrase.
//
// It sits between a connection object's socket and its byte reads and
// writes: TLS 1.3 with an external pre-shared key and nothing else (no
// certificates, no session tickets, one cipher suite), spoken over the
// socket through SocketCalls. Until the handshake is complete nothing the
// owner writes leaves (it is kept) and nothing the peer sent is given out;
// a peer with another key, without one, or speaking anything else fails the
// handshake. The key comes from the passphrase through scrypt
// (DeriveLinkKey); both sides derive the same key from the same passphrase.
//
// Owned by one TCustomWinSocket for one socket; loop thread only.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

using LinkKey = std::array<unsigned char, 32>;

// scrypt with N = 2^17, r = 8, p = 1 (128 MiB, a fraction of a second) over
// the passphrase's bytes, salted with LinkKeySalt. Throws std::runtime_error
// when the library cannot run it.
LinkKey DeriveLinkKey(std::string_view passphrase);
inline constexpr std::string_view LinkKeySalt = "tessaro2 clipboard link v1";
// The key's name in the handshake; a peer naming another is turned away.
inline constexpr std::string_view LinkKeyIdentity = "tessaro2-link-v1";

class TlsFilter {
public:
    enum class Status {
        Done,      // the step is complete
        Blocked,   // waits for the socket (readable or writable)
        Closed,    // the peer ended the link in order
        Failed,    // handshake or record failure; ErrorCode() says more
    };

    TlsFilter(int fd, bool asServer, const LinkKey& key);
    ~TlsFilter();
    TlsFilter(const TlsFilter&) = delete;
    TlsFilter& operator=(const TlsFilter&) = delete;

    // Drives the handshake as far as the socket allows; Done once complete.
    Status Handshake();
    bool Established() const { return established_; }
    // Whether the handshake waits for the socket to take data.
    bool WantsWrite() const { return wantsWrite_; }

    // Decrypts what has arrived into `plain`, stopping after about `limit`
    // more bytes. Blocked when everything readable has been taken.
    Status Read(std::string& plain, std::size_t limit);
    // Bytes the library holds that the socket will not signal again.
    bool HasBuffered() const;

    // Keeps `bytes` and sends as much as the socket takes once established.
    Status Write(const char* bytes, std::size_t count);
    // Sends what is kept; Done when nothing is left.
    Status Flush();
    std::size_t QueuedBytes() const { return queue_.size() - head_; }

    // Says goodbye to the peer (close_notify), as far as the socket takes it.
    void Shutdown();
    // The system's errno behind a failure, or EPROTO for a protocol failure.
    int ErrorCode() const { return errorCode_; }

private:
    Status Outcome(int result);

    struct SslDeleter {
        void operator()(struct ssl_st* ssl) const;
    };
    std::unique_ptr<struct ssl_st, SslDeleter> ssl_;
    LinkKey key_;
    bool established_ = false;
    bool wantsWrite_ = false;
    int errorCode_ = 0;
    std::string queue_; // plaintext kept for sending, from head_ on
    std::size_t head_ = 0;
};
