// TlsEngine: the encrypted link between two copies that share a passphrase.
//
// TLS 1.3 with an external pre-shared key and nothing else (no certificates,
// no session tickets, one cipher suite), worked entirely in memory: the
// owner feeds it the ciphertext that arrived and it hands every byte of
// ciphertext it makes to `output`, in order. It never touches a socket, so
// the ciphertext leaves through whatever queue the owner keeps for any other
// bytes, and two engines wired back to back make a link. Until the
// handshake is complete nothing the owner writes is encrypted (it is kept)
// and nothing the peer sent is given out; a peer with another key, without
// one, or speaking anything else fails the handshake. The key comes from the
// passphrase through scrypt (DeriveLinkKey); both sides derive the same key
// from the same passphrase.
//
// Each Write is its own run of records, all of the largest size but the
// last, so the peer's Read knows where each write ended: at a record short
// of the largest (a write that fills its records exactly is known to end
// only with the next write that does not). Owned by one
// TCustomWinSocket (or a test); not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
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

class TlsEngine {
public:
    enum class Status {
        Done,       // the step is complete
        WantsInput, // more ciphertext from the peer is needed
        Closed,     // the peer ended the link in order
        Failed,     // handshake or record failure; ErrorCode() says more
    };
    using Output = std::function<void(std::string&& ciphertext)>;

    TlsEngine(bool asServer, const LinkKey& key, Output output);
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    // Ciphertext from the peer, in the order it came.
    void Feed(const char* bytes, std::size_t count);

    // Drives the handshake as far as the fed ciphertext allows; Done once
    // complete, and then what was written before leaves.
    Status Handshake();
    bool Established() const { return established_; }

    // Decrypts whole records into `plain` until one ends a write of the
    // peer's (`endsWrite` true), or `limit` more bytes are in; WantsInput
    // when the fed ciphertext holds no whole record more.
    Status Read(std::string& plain, std::size_t limit, bool& endsWrite);
    // Fed ciphertext or decrypted bytes not yet read.
    bool HasBuffered() const;

    // Encrypts `bytes` as one write, or keeps them until the handshake is
    // complete. Fails only when the library does.
    Status Write(const char* bytes, std::size_t count);
    // Bytes written before the handshake was complete, not yet encrypted.
    std::size_t KeptBytes() const { return keptBytes_; }

    // Says goodbye to the peer (close_notify); nothing before the handshake.
    void Shutdown();
    // EPROTO for a protocol failure, ECONNRESET for a peer that closed
    // during the handshake, EPIPE for a write after the peer closed.
    int ErrorCode() const { return errorCode_; }

private:
    Status Outcome(int result);
    Status Encrypt(const char* bytes, std::size_t count);
    // Hands what the library wrote to `output`.
    void Drain();

    struct SslDeleter {
        void operator()(struct ssl_st* ssl) const;
    };
    std::unique_ptr<struct ssl_st, SslDeleter> ssl_;
    struct bio_st* input_ = nullptr;  // owned by ssl_
    struct bio_st* written_ = nullptr; // owned by ssl_
    Output output_;
    LinkKey key_;
    bool established_ = false;
    int errorCode_ = 0;
    std::deque<std::string> kept_; // writes made during the handshake
    std::size_t keptBytes_ = 0;
};
