#include "upload/Sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

void Sha256::Free::operator()(EVP_MD_CTX* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
}

void Sha256::Update(const void* data, size_t size) {
    EVP_DigestUpdate(m_context.get(), data, size);
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), digest, &length);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0xF];
    }
    return hex;
}

std::string Sha256::Hex(std::string_view data) {
    Sha256 hash;
    hash.Update(data.data(), data.size());
    return hash.HexDigest();
}

bool Sha256::HashDescriptor(int fd, std::string& hex, int& error) {
    Sha256 hash;
    std::vector<uint8_t> buffer(1 << 18);
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = errno;
            return false;
        }
        if (got == 0)
            break;
        hash.Update(buffer.data(), static_cast<size_t>(got));
    }
    hex = hash.HexDigest();
    return true;
}

bool Sha256::HashFile(const std::string& path, bool sync, std::string& hex, int& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = errno;
        return false;
    }
    bool ok = HashDescriptor(fd, hex, error);
    if (ok && sync && fsync(fd) != 0) {
        error = errno;
        ok = false;
    }
    close(fd);
    return ok;
}
