#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// SHA-256, fed in pieces of any size (libcrypto's, which uses the
// processor's SHA instructions where there are any).
class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

    static std::string Hex(std::string_view data);

    // Hashes the file at `path` and, when `sync` is set, flushes it to disk
    // through the same descriptor. False (with `error` = errno) when it cannot
    // be read or synced.
    static bool HashFile(const std::string& path, bool sync, std::string& hex, int& error);
    // Hashes what is left to read from `fd`.
    static bool HashDescriptor(int fd, std::string& hex, int& error);

private:
    struct Free {
        void operator()(EVP_MD_CTX* context) const;
    };
    std::unique_ptr<EVP_MD_CTX, Free> m_context;
};
