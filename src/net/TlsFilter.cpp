#include "net/TlsFilter.h"

#include "net/SocketCalls.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace {

// scrypt's cost: 128 * r * N bytes of memory per guess.
constexpr std::uint64_t ScryptN = std::uint64_t{1} << 17;
constexpr std::uint32_t ScryptR = 8;
constexpr std::uint32_t ScryptP = 1;
constexpr std::uint64_t ScryptMaxMemBytes = std::uint64_t{256} << 20;

// One suite, so both ends always agree and the key's hash is fixed.
constexpr const char* CipherSuite = "TLS_AES_128_GCM_SHA256";
constexpr unsigned char CipherSuiteId[2] = {0x13, 0x01};

// A record holds at most 16 KiB of plaintext: reading a whole one at a time
// leaves nothing decrypted behind in the library.
constexpr std::size_t ReadChunkBytes = 16 * 1024;
// Handed to the library per write; a retry after "would block" passes at
// least as much again, as the library requires.
constexpr std::size_t WriteSliceBytes = std::size_t{1} << 20;

int FdOf(BIO* bio)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

// The library reaches the socket only through SocketCalls, so sends carry
// MSG_NOSIGNAL and interrupted calls are retried like every other.
int SocketWrite(BIO* bio, const char* data, int length)
{
    BIO_clear_retry_flags(bio);
    const ssize_t sent = SocketCalls::Send(FdOf(bio), data, static_cast<std::size_t>(length));
    if (sent < 0 && SocketCalls::IsWouldBlock(errno)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* data, int length)
{
    BIO_clear_retry_flags(bio);
    const ssize_t received = SocketCalls::Receive(FdOf(bio), data, static_cast<std::size_t>(length));
    if (received < 0 && SocketCalls::IsWouldBlock(errno)) BIO_set_retry_read(bio);
    return static_cast<int>(received);
}

long SocketControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tessaro socket");
        if (!made) throw std::runtime_error("no TLS socket method");
        BIO_meth_set_write(made, SocketWrite);
        BIO_meth_set_read(made, SocketRead);
        BIO_meth_set_ctrl(made, SocketControl);
        BIO_meth_set_create(made, SocketCreate);
        return made;
    }();
    return method;
}

// The pre-shared key as the session both ends resume.
SSL_SESSION* KeySession(SSL* ssl)
{
    const auto* key = static_cast<const LinkKey*>(SSL_get_app_data(ssl));
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, CipherSuiteId);
    SSL_SESSION* session = SSL_SESSION_new();
    if (!key || !cipher || !session || !SSL_SESSION_set1_master_key(session, key->data(), key->size()) ||
        !SSL_SESSION_set_cipher(session, cipher) || !SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION)) {
        SSL_SESSION_free(session);
        return nullptr;
    }
    return session;
}

int UseKey(SSL* ssl, const EVP_MD* digest, const unsigned char** identity, std::size_t* identityLength,
           SSL_SESSION** session)
{
    *session = KeySession(ssl);
    if (!*session) return 0;
    if (digest && digest != SSL_CIPHER_get_handshake_digest(SSL_SESSION_get0_cipher(*session))) {
        SSL_SESSION_free(*session);
        *session = nullptr;
        return 0;
    }
    *identity = reinterpret_cast<const unsigned char*>(LinkKeyIdentity.data());
    *identityLength = LinkKeyIdentity.size();
    return 1;
}

int FindKey(SSL* ssl, const unsigned char* identity, std::size_t identityLength, SSL_SESSION** session)
{
    *session = nullptr;
    // Another name: no key, and with no certificate the handshake then fails.
    if (std::string_view(reinterpret_cast<const char*>(identity), identityLength) != LinkKeyIdentity) return 1;
    *session = KeySession(ssl);
    return *session ? 1 : 0;
}

SSL_CTX* MakeContext(bool asServer)
{
    SSL_CTX* context = SSL_CTX_new(asServer ? TLS_server_method() : TLS_client_method());
    if (!context) throw std::runtime_error("no TLS context");
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(context, CipherSuite);
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (asServer) {
        SSL_CTX_set_psk_find_session_callback(context, FindKey);
    } else {
        // No certificate is ever trusted: a server without the key cannot
        // pass itself off with one.
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_psk_use_session_callback(context, UseKey);
    }
    return context;
}

SSL_CTX* Context(bool asServer)
{
    static SSL_CTX* const server = MakeContext(true);
    static SSL_CTX* const client = MakeContext(false);
    return asServer ? server : client;
}

} // namespace

LinkKey DeriveLinkKey(std::string_view passphrase)
{
    LinkKey key{};
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "SCRYPT", nullptr);
    EVP_KDF_CTX* context = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    std::uint64_t n = ScryptN;
    std::uint32_t r = ScryptR;
    std::uint32_t p = ScryptP;
    std::uint64_t maxMem = ScryptMaxMemBytes;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(passphrase.data()),
                                          passphrase.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(LinkKeySalt.data()),
                                          LinkKeySalt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMem),
        OSSL_PARAM_construct_end(),
    };
    const bool derived = context && EVP_KDF_derive(context, key.data(), key.size(), params) == 1;
    EVP_KDF_CTX_free(context);
    if (!derived) throw std::runtime_error("the passphrase's key cannot be derived (scrypt)");
    return key;
}

void TlsFilter::SslDeleter::operator()(ssl_st* ssl) const
{
    SSL_free(ssl);
}

TlsFilter::TlsFilter(int fd, bool asServer, const LinkKey& key) : key_(key)
{
    ssl_.reset(SSL_new(Context(asServer)));
    BIO* bio = ssl_ ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) throw std::runtime_error("no TLS connection");
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl_.get(), bio, bio);
    SSL_set_app_data(ssl_.get(), &key_);
    if (asServer) {
        SSL_set_accept_state(ssl_.get());
    } else {
        SSL_set_connect_state(ssl_.get());
    }
}

TlsFilter::~TlsFilter() = default;

TlsFilter::Status TlsFilter::Outcome(int result)
{
    const int systemError = errno;
    const int error = SSL_get_error(ssl_.get(), result);
    ERR_clear_error();
    switch (error) {
    case SSL_ERROR_WANT_READ:
        wantsWrite_ = false;
        return Status::Blocked;
    case SSL_ERROR_WANT_WRITE:
        wantsWrite_ = true;
        return Status::Blocked;
    case SSL_ERROR_ZERO_RETURN:
        return Status::Closed;
    case SSL_ERROR_SYSCALL:
        errorCode_ = systemError != 0 ? systemError : EPROTO;
        return Status::Failed;
    default:
        errorCode_ = EPROTO;
        return Status::Failed;
    }
}

TlsFilter::Status TlsFilter::Handshake()
{
    if (established_) return Status::Done;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl_.get());
    if (result == 1) {
        // Only the shared key may have carried the handshake.
        if (!SSL_session_reused(ssl_.get())) {
            errorCode_ = EPROTO;
            return Status::Failed;
        }
        established_ = true;
        wantsWrite_ = false;
        return Status::Done;
    }
    const Status status = Outcome(result);
    if (status == Status::Closed) {
        errorCode_ = ECONNRESET;
        return Status::Failed;
    }
    return status;
}

TlsFilter::Status TlsFilter::Read(std::string& plain, std::size_t limit)
{
    std::size_t taken = 0;
    while (taken < limit || SSL_pending(ssl_.get()) > 0) {
        const std::size_t had = plain.size();
        plain.resize(had + ReadChunkBytes);
        std::size_t got = 0;
        ERR_clear_error();
        errno = 0;
        const int result = SSL_read_ex(ssl_.get(), plain.data() + had, ReadChunkBytes, &got);
        plain.resize(had + got);
        if (result != 1) return Outcome(result);
        taken += got;
    }
    return Status::Done;
}

bool TlsFilter::HasBuffered() const
{
    return SSL_has_pending(ssl_.get()) != 0;
}

TlsFilter::Status TlsFilter::Write(const char* bytes, std::size_t count)
{
    queue_.append(bytes, count);
    return established_ ? Flush() : Status::Done;
}

TlsFilter::Status TlsFilter::Flush()
{
    if (!established_) return Status::Blocked;
    while (head_ < queue_.size()) {
        const std::size_t length = std::min(queue_.size() - head_, WriteSliceBytes);
        std::size_t written = 0;
        ERR_clear_error();
        errno = 0;
        const int result = SSL_write_ex(ssl_.get(), queue_.data() + head_, length, &written);
        if (result != 1) {
            const Status status = Outcome(result);
            if (status == Status::Closed) {
                errorCode_ = EPIPE;
                return Status::Failed;
            }
            // The bytes the library still holds stay where they are: the
            // buffer may move, their content may not.
            if (status == Status::Blocked && head_ >= queue_.size() / 2) {
                queue_.erase(0, head_);
                head_ = 0;
            }
            return status;
        }
        head_ += written;
    }
    queue_.clear();
    head_ = 0;
    return Status::Done;
}

void TlsFilter::Shutdown()
{
    if (!established_) return;
    ERR_clear_error();
    (void)SSL_shutdown(ssl_.get());
    ERR_clear_error();
}
