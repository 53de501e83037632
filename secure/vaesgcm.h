#pragma once
// AES-128-GCM on the processor's vector AES and carry-less multiplication (VAES, VPCLMULQDQ)
// over 256-bit registers: two blocks per instruction and sixteen in flight, where OpenSSL 3.0
// takes one block per instruction. The bytes are GCM's own (NIST SP 800-38D), so a record
// sealed here opens anywhere and the other way round. Only for processors that have the
// instructions: available() says so, and nothing else here may be called where it is false.

#include <cstddef>
#include <cstdint>

namespace secure {

class VaesGcm
{
public:
    static constexpr size_t KeyBytes = 16;
    static constexpr size_t IvBytes = 12;
    static constexpr size_t TagBytes = 16;
    /// The blocks taken at once: as many powers of H are kept.
    static constexpr int Powers = 16;

    /// Whether this processor, and the system running it, executes the instructions used here.
    static bool available();

    explicit VaesGcm(const unsigned char *key);
    ~VaesGcm();
    VaesGcm(const VaesGcm &) = delete;
    VaesGcm &operator=(const VaesGcm &) = delete;

    /// One message under one IV: begin() with the additional data, then its text in order by
    /// seal() or open() (every piece but the last a whole number of 16-byte blocks), then tag().
    struct Run
    {
        alignas(16) unsigned char hash[16]; ///< GHASH so far, bytes reversed
        alignas(16) unsigned char mask[16]; ///< the first counter block encrypted, for the tag
        unsigned char iv[IvBytes];
        uint32_t counter;
        uint64_t additionalBytes;
        uint64_t textBytes;
    };
    void begin(Run &run, const unsigned char *iv, const unsigned char *additional, size_t size) const;
    /// Encrypts `size` bytes of `in` into `out`, which is `in` or does not overlap it.
    void seal(Run &run, const unsigned char *in, unsigned char *out, size_t size) const;
    /// Decrypts `size` bytes of `in` into `out`, which is `in` or does not overlap it.
    void open(Run &run, const unsigned char *in, unsigned char *out, size_t size) const;
    /// The message's tag: written by the sealing side, compared in constant time by the opening.
    void tag(const Run &run, unsigned char *out) const;

private:
    alignas(32) unsigned char m_roundKeys[11][16];
    /// H^16 down to H^1 for GHASH, bytes reversed and each multiplied by x, as the reduction
    /// after a carry-less multiplication of reversed bytes wants them.
    alignas(32) unsigned char m_powers[Powers][16];
};

} // namespace secure
