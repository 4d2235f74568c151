#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// TLS 1.3 for one session, as a byte transformer: ciphertext from the peer
// goes in (PutCiphertext), ciphertext for the peer comes out (TakeCiphertext),
// and once the handshake is done plaintext goes both ways. It owns no socket,
// so it runs over any byte transport. The device is the TLS server and shows
// a self-signed certificate of its Ed25519 identity; the client takes any
// certificate and leaves the decision to the caller, who compares the
// peer's fingerprint with the one pinned for the UID. This file pair is the
// only one that includes OpenSSL.
class TlsLayer {
public:
    // A device's key pair and the self-signed certificate made from it.
    class Identity {
    public:
        ~Identity();
        Identity(const Identity&) = delete;
        Identity& operator=(const Identity&) = delete;

        // A new key pair held in memory only; null when OpenSSL fails.
        static std::shared_ptr<Identity> Generate();
        // Loads the PEM private key in `path`, or makes a new one there
        // (mode 0600, never over an existing file) when there is none.
        // Null with `error` set when the file cannot be read or written.
        static std::shared_ptr<Identity> LoadOrCreate(const std::string& path, std::string& error);
        // "SHA256:" and the unpadded base64 of the SHA-256 of the key's SSH
        // public-key blob: what `ssh-keygen -l` prints for the key.
        std::string Fingerprint() const;
        // The key as an OpenSSH public-key line ("ssh-ed25519 BASE64").
        std::string SshPublicKey() const;

        struct Impl;

    private:
        explicit Identity(std::unique_ptr<Impl> impl);
        std::unique_ptr<Impl> m_impl;
        friend class TlsLayer;
    };

    // Closed: the peer ended TLS in order (close_notify).
    enum class State { Handshaking, Open, Closed, Failed };

    static std::unique_ptr<TlsLayer> Server(std::shared_ptr<const Identity> identity);
    static std::unique_ptr<TlsLayer> Client();
    ~TlsLayer();
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // Bytes read from the peer. Advances the handshake; false once TLS has failed.
    bool PutCiphertext(const uint8_t* data, size_t length);
    // Moves every byte waiting for the peer to the end of `out`.
    void TakeCiphertext(std::vector<uint8_t>& out);
    State GetState() const { return m_state; }
    // Decrypted bytes: their count, 0 when none is ready (or the handshake
    // is not done), -1 once TLS has failed or the peer has ended it.
    long ReadPlain(uint8_t* buffer, size_t size);
    // Encrypts bytes for the peer (open only); false once TLS has failed.
    bool WritePlain(const uint8_t* data, size_t length);
    // Announces the end to the peer (a close_notify alert).
    void Shutdown();
    // The peer's fingerprint (like Identity::Fingerprint), once open; empty
    // when the peer showed no Ed25519 key.
    const std::string& PeerFingerprint() const { return m_peerFingerprint; }
    // The bytes one TLS record adds to its plaintext, at most.
    static constexpr size_t kRecordOverhead = 22;

    struct Impl;

private:
    explicit TlsLayer(std::unique_ptr<Impl> impl);
    void Advance();

    std::unique_ptr<Impl> m_impl;
    State m_state = State::Handshaking;
    std::string m_peerFingerprint;
};
