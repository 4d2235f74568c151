#include "p2p/TlsLayer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using CertPtr = std::unique_ptr<X509, Free>;
using CtxPtr = std::unique_ptr<SSL_CTX, Free>;
using SslPtr = std::unique_ptr<SSL, Free>;
using BioPtr = std::unique_ptr<BIO, Free>;

void PutU32Be(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

// The OpenSSH wire form of an Ed25519 public key.
std::vector<uint8_t> SshBlob(const EVP_PKEY* key) {
    uint8_t raw[32];
    size_t rawLength = sizeof raw;
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519 || EVP_PKEY_get_raw_public_key(key, raw, &rawLength) != 1 ||
        rawLength != sizeof raw)
        return {};
    static const char kName[] = "ssh-ed25519";
    std::vector<uint8_t> blob;
    PutU32Be(blob, sizeof kName - 1);
    blob.insert(blob.end(), kName, kName + sizeof kName - 1);
    PutU32Be(blob, sizeof raw);
    blob.insert(blob.end(), raw, raw + sizeof raw);
    return blob;
}

std::string Base64(const uint8_t* data, size_t length) {
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(length));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

std::string FingerprintOf(const EVP_PKEY* key) {
    std::vector<uint8_t> blob = SshBlob(key);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (blob.empty() || EVP_Digest(blob.data(), blob.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return {};
    std::string text = Base64(digest, digestLength);
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return "SHA256:" + text;
}

// A certificate of the key signed by itself: TLS needs one to carry the key.
CertPtr SelfSigned(EVP_PKEY* key) {
    CertPtr cert(X509_new());
    if (!cert)
        return nullptr;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), 365 * 100, 0, nullptr);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vantor-device"), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_set_pubkey(cert.get(), key) != 1 || X509_sign(cert.get(), key, nullptr) <= 0)
        return nullptr;
    return cert;
}

void OnlyTls13(SSL_CTX* ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
}

SSL_CTX* ClientContext() {
    // Made once; OpenSSL contexts are safe to share between threads.
    static CtxPtr ctx = [] {
        CtxPtr c(SSL_CTX_new(TLS_client_method()));
        if (c) {
            OnlyTls13(c.get());
            SSL_CTX_set_verify(c.get(), SSL_VERIFY_NONE, nullptr); // the caller checks the pinned key
        }
        return c;
    }();
    return ctx.get();
}

bool WriteNewFile(const std::string& path, const std::string& text, std::string& error) {
    // Written whole under a temporary name, then linked to its own: another
    // process never reads half a key, and an existing file is never replaced.
    const std::string temp = path + ".tmp" + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        error = path + ": " + std::strerror(errno);
        ok = false;
    } else if (!ok) {
        error = temp + ": cannot write";
    }
    unlink(temp.c_str());
    return ok;
}

KeyPtr ReadKey(const std::string& path, std::string& error) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        error = path + ": not an Ed25519 private key in PEM";
        return nullptr;
    }
    return key;
}
} // namespace

struct TlsLayer::Identity::Impl {
    KeyPtr key;
    CertPtr cert;
    CtxPtr serverContext;
};

struct TlsLayer::Impl {
    SslPtr ssl;
    BIO* in = nullptr;  // owned by ssl
    BIO* out = nullptr; // owned by ssl
};

TlsLayer::Identity::Identity(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
TlsLayer::Identity::~Identity() = default;

namespace {
std::unique_ptr<TlsLayer::Identity::Impl> MakeIdentity(KeyPtr key) {
    auto impl = std::make_unique<TlsLayer::Identity::Impl>();
    impl->cert = SelfSigned(key.get());
    impl->serverContext.reset(SSL_CTX_new(TLS_server_method()));
    if (!impl->cert || !impl->serverContext)
        return nullptr;
    OnlyTls13(impl->serverContext.get());
    SSL_CTX_set_num_tickets(impl->serverContext.get(), 0); // no resumption: every session shows the key
    if (SSL_CTX_use_certificate(impl->serverContext.get(), impl->cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(impl->serverContext.get(), key.get()) != 1)
        return nullptr;
    impl->key = std::move(key);
    return impl;
}
} // namespace

std::shared_ptr<TlsLayer::Identity> TlsLayer::Identity::Generate() {
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    std::unique_ptr<Impl> impl = key ? MakeIdentity(std::move(key)) : nullptr;
    return impl ? std::shared_ptr<Identity>(new Identity(std::move(impl))) : nullptr;
}

std::shared_ptr<TlsLayer::Identity> TlsLayer::Identity::LoadOrCreate(const std::string& path, std::string& error) {
    if (access(path.c_str(), F_OK) != 0) {
        KeyPtr fresh(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        BioPtr pem(BIO_new(BIO_s_mem()));
        if (!fresh || !pem ||
            PEM_write_bio_PrivateKey(pem.get(), fresh.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            error = "cannot make a key";
            return nullptr;
        }
        char* data = nullptr;
        long length = BIO_get_mem_data(pem.get(), &data);
        if (!WriteNewFile(path, std::string(data, static_cast<size_t>(length)), error))
            return nullptr;
    }
    // Read back even when just written: another process may have won the race.
    KeyPtr key = ReadKey(path, error);
    std::unique_ptr<Impl> impl = key ? MakeIdentity(std::move(key)) : nullptr;
    if (!impl && error.empty())
        error = path + ": cannot use the key";
    return impl ? std::shared_ptr<Identity>(new Identity(std::move(impl))) : nullptr;
}

std::string TlsLayer::Identity::Fingerprint() const {
    return FingerprintOf(m_impl->key.get());
}

std::string TlsLayer::Identity::SshPublicKey() const {
    std::vector<uint8_t> blob = SshBlob(m_impl->key.get());
    return "ssh-ed25519 " + Base64(blob.data(), blob.size());
}

TlsLayer::TlsLayer(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
TlsLayer::~TlsLayer() = default;

namespace {
std::unique_ptr<TlsLayer::Impl> MakeLayer(SSL_CTX* ctx, bool server) {
    if (ctx == nullptr)
        return nullptr;
    auto impl = std::make_unique<TlsLayer::Impl>();
    impl->ssl.reset(SSL_new(ctx));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!impl->ssl || in == nullptr || out == nullptr) {
        BIO_free(in);
        BIO_free(out);
        return nullptr;
    }
    BIO_set_mem_eof_return(in, -1); // no input yet is "try again", not the end
    SSL_set_bio(impl->ssl.get(), in, out);
    impl->in = in;
    impl->out = out;
    if (server)
        SSL_set_accept_state(impl->ssl.get());
    else
        SSL_set_connect_state(impl->ssl.get());
    return impl;
}
} // namespace

std::unique_ptr<TlsLayer> TlsLayer::Server(std::shared_ptr<const Identity> identity) {
    std::unique_ptr<Impl> impl = identity ? MakeLayer(identity->m_impl->serverContext.get(), true) : nullptr;
    return impl ? std::unique_ptr<TlsLayer>(new TlsLayer(std::move(impl))) : nullptr;
}

std::unique_ptr<TlsLayer> TlsLayer::Client() {
    std::unique_ptr<Impl> impl = MakeLayer(ClientContext(), false);
    if (!impl)
        return nullptr;
    std::unique_ptr<TlsLayer> layer(new TlsLayer(std::move(impl)));
    layer->Advance(); // the ClientHello
    return layer;
}

void TlsLayer::Advance() {
    if (m_state != State::Handshaking)
        return;
    ERR_clear_error();
    int r = SSL_do_handshake(m_impl->ssl.get());
    if (r == 1) {
        m_state = State::Open;
        if (X509* peer = SSL_get0_peer_certificate(m_impl->ssl.get()))
            m_peerFingerprint = FingerprintOf(X509_get0_pubkey(peer));
        return;
    }
    if (SSL_get_error(m_impl->ssl.get(), r) != SSL_ERROR_WANT_READ)
        m_state = State::Failed;
}

bool TlsLayer::PutCiphertext(const uint8_t* data, size_t length) {
    if (m_state == State::Failed)
        return false;
    if (length > 0 && BIO_write(m_impl->in, data, static_cast<int>(length)) != static_cast<int>(length))
        m_state = State::Failed;
    Advance();
    return m_state != State::Failed;
}

void TlsLayer::TakeCiphertext(std::vector<uint8_t>& out) {
    char* data = nullptr;
    long length = BIO_get_mem_data(m_impl->out, &data);
    if (length <= 0)
        return;
    out.insert(out.end(), data, data + length);
    (void)BIO_reset(m_impl->out);
}

long TlsLayer::ReadPlain(uint8_t* buffer, size_t size) {
    if (m_state != State::Open)
        return m_state == State::Handshaking ? 0 : -1;
    ERR_clear_error();
    size_t n = 0;
    int r = SSL_read_ex(m_impl->ssl.get(), buffer, size, &n);
    if (r == 1)
        return static_cast<long>(n);
    int error = SSL_get_error(m_impl->ssl.get(), r);
    if (error == SSL_ERROR_WANT_READ)
        return 0;
    m_state = error == SSL_ERROR_ZERO_RETURN ? State::Closed : State::Failed;
    return -1;
}

bool TlsLayer::WritePlain(const uint8_t* data, size_t length) {
    if (m_state != State::Open)
        return false;
    ERR_clear_error();
    size_t written = 0;
    if (length > 0 && (SSL_write_ex(m_impl->ssl.get(), data, length, &written) != 1 || written != length))
        m_state = State::Failed;
    return m_state == State::Open;
}

void TlsLayer::Shutdown() {
    if (m_state == State::Open) {
        ERR_clear_error();
        SSL_shutdown(m_impl->ssl.get());
    }
}
