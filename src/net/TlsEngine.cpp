#include "net/TlsEngine.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>
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

// The most plaintext a record carries. A record shorter than this ends a
// write; reading a whole one at a time leaves nothing decrypted behind.
constexpr std::size_t RecordPlainBytes = 16 * 1024;
// Encrypted per call, then handed on: a whole number of records, so only a
// write's last record is short, and the library's buffer stays small.
constexpr std::size_t WriteSliceBytes = 4 * RecordPlainBytes;

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

void TlsEngine::SslDeleter::operator()(ssl_st* ssl) const
{
    SSL_free(ssl);
}

TlsEngine::TlsEngine(bool asServer, const LinkKey& key, Output output) : output_(std::move(output)), key_(key)
{
    ssl_.reset(SSL_new(Context(asServer)));
    input_ = ssl_ ? BIO_new(BIO_s_mem()) : nullptr;
    written_ = input_ ? BIO_new(BIO_s_mem()) : nullptr;
    if (!written_) {
        BIO_free(input_);
        throw std::runtime_error("no TLS connection");
    }
    // An empty input means "more to come", not the end of the stream.
    BIO_set_mem_eof_return(input_, -1);
    SSL_set_bio(ssl_.get(), input_, written_);
    SSL_set_app_data(ssl_.get(), &key_);
    if (asServer) {
        SSL_set_accept_state(ssl_.get());
    } else {
        SSL_set_connect_state(ssl_.get());
    }
}

TlsEngine::~TlsEngine() = default;

void TlsEngine::Feed(const char* bytes, std::size_t count)
{
    while (count > 0) {
        const int part = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
        const int taken = BIO_write(input_, bytes, part);
        if (taken <= 0) throw std::bad_alloc();
        bytes += taken;
        count -= static_cast<std::size_t>(taken);
    }
}

void TlsEngine::Drain()
{
    for (std::size_t pending = BIO_ctrl_pending(written_); pending > 0; pending = BIO_ctrl_pending(written_)) {
        std::string ciphertext(pending, '\0');
        const int got = BIO_read(written_, ciphertext.data(), static_cast<int>(std::min<std::size_t>(pending, INT_MAX)));
        if (got <= 0) return;
        ciphertext.resize(static_cast<std::size_t>(got));
        output_(std::move(ciphertext));
    }
}

TlsEngine::Status TlsEngine::Outcome(int result)
{
    const int error = SSL_get_error(ssl_.get(), result);
    ERR_clear_error();
    Drain();
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return Status::WantsInput;
    case SSL_ERROR_ZERO_RETURN:
        return Status::Closed;
    default:
        errorCode_ = EPROTO;
        return Status::Failed;
    }
}

TlsEngine::Status TlsEngine::Handshake()
{
    if (established_) return Status::Done;
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_.get());
    if (result != 1) {
        const Status status = Outcome(result);
        if (status == Status::Closed) errorCode_ = ECONNRESET;
        return status == Status::Closed ? Status::Failed : status;
    }
    Drain();
    // Only the shared key may have carried the handshake.
    if (!SSL_session_reused(ssl_.get())) {
        errorCode_ = EPROTO;
        return Status::Failed;
    }
    established_ = true;
    for (; !kept_.empty(); kept_.pop_front()) {
        keptBytes_ -= kept_.front().size();
        if (Encrypt(kept_.front().data(), kept_.front().size()) != Status::Done) return Status::Failed;
    }
    return Status::Done;
}

TlsEngine::Status TlsEngine::Read(std::string& plain, std::size_t limit, bool& endsWrite)
{
    endsWrite = false;
    if (!established_) return Status::WantsInput;
    for (std::size_t taken = 0; taken < limit;) {
        const std::size_t had = plain.size();
        plain.resize(had + RecordPlainBytes);
        std::size_t got = 0;
        ERR_clear_error();
        const int result = SSL_read_ex(ssl_.get(), plain.data() + had, RecordPlainBytes, &got);
        plain.resize(had + got);
        if (result != 1) return Outcome(result);
        taken += got;
        if (got < RecordPlainBytes) {
            endsWrite = true;
            break;
        }
    }
    return Status::Done;
}

bool TlsEngine::HasBuffered() const
{
    return BIO_ctrl_pending(input_) > 0 || SSL_has_pending(ssl_.get()) != 0;
}

TlsEngine::Status TlsEngine::Write(const char* bytes, std::size_t count)
{
    if (established_) return Encrypt(bytes, count);
    kept_.emplace_back(bytes, count);
    keptBytes_ += count;
    return Status::Done;
}

TlsEngine::Status TlsEngine::Encrypt(const char* bytes, std::size_t count)
{
    for (std::size_t at = 0; at < count;) {
        std::size_t written = 0;
        ERR_clear_error();
        const int result = SSL_write_ex(ssl_.get(), bytes + at, std::min(count - at, WriteSliceBytes), &written);
        if (result != 1) {
            const Status status = Outcome(result);
            if (status != Status::Failed) errorCode_ = status == Status::Closed ? EPIPE : EPROTO;
            return Status::Failed;
        }
        at += written;
        Drain();
    }
    return Status::Done;
}

void TlsEngine::Shutdown()
{
    if (!established_) return;
    ERR_clear_error();
    (void)SSL_shutdown(ssl_.get());
    ERR_clear_error();
    Drain();
}
