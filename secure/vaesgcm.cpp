#include "vaesgcm.h"

#include <openssl/crypto.h>

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

// Everything that touches a vector register is built for the instructions it needs, and runs
// only where available() said they are there; the rest of the library stays baseline x86-64.
#define VAES_TARGET __attribute__((target("avx2,aes,pclmul,vaes,vpclmulqdq")))

namespace secure {

namespace {

// GHASH works on blocks with their bytes reversed, so that its polynomials read as integers;
// the product of two is then reduced by its polynomial x^128 + x^127 + x^126 + x^121 + 1 in
// two folds by the high half of that polynomial (the "x^63 + x^62 + x^57" of 0xc2 << 56).
constexpr long long PolyHigh = static_cast<long long>(0xc200000000000000ULL);

VAES_TARGET inline __m128i load(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

VAES_TARGET inline void store(unsigned char *p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

VAES_TARGET inline __m128i reversed(__m128i x)
{
    return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

VAES_TARGET inline __m256i reversed(__m256i x)
{
    return _mm256_shuffle_epi8(
        x, _mm256_broadcastsi128_si256(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)));
}

// The carry-less product of a and b in three parts (low, middle, high), added to what the
// parts hold, so that many products are reduced once.
VAES_TARGET inline void multiplyInto(__m128i a, __m128i b, __m128i &lo, __m128i &mi, __m128i &hi)
{
    lo = _mm_xor_si128(lo, _mm_clmulepi64_si128(a, b, 0x00));
    mi = _mm_xor_si128(mi, _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x01), _mm_clmulepi64_si128(a, b, 0x10)));
    hi = _mm_xor_si128(hi, _mm_clmulepi64_si128(a, b, 0x11));
}

VAES_TARGET inline void multiplyInto(__m256i a, __m256i b, __m256i &lo, __m256i &mi, __m256i &hi)
{
    lo = _mm256_xor_si256(lo, _mm256_clmulepi64_epi128(a, b, 0x00));
    mi = _mm256_xor_si256(
        mi, _mm256_xor_si256(_mm256_clmulepi64_epi128(a, b, 0x01), _mm256_clmulepi64_epi128(a, b, 0x10)));
    hi = _mm256_xor_si256(hi, _mm256_clmulepi64_epi128(a, b, 0x11));
}

VAES_TARGET inline __m128i reduce(__m128i lo, __m128i mi, __m128i hi)
{
    const __m128i poly = _mm_set_epi64x(PolyHigh, 1);
    mi = _mm_xor_si128(mi, _mm_xor_si128(_mm_clmulepi64_si128(lo, poly, 0x10), _mm_shuffle_epi32(lo, 0x4e)));
    return _mm_xor_si128(hi, _mm_xor_si128(_mm_clmulepi64_si128(mi, poly, 0x10), _mm_shuffle_epi32(mi, 0x4e)));
}

VAES_TARGET inline __m256i reduce(__m256i lo, __m256i mi, __m256i hi)
{
    const __m256i poly = _mm256_set_epi64x(PolyHigh, 1, PolyHigh, 1);
    mi = _mm256_xor_si256(mi,
                          _mm256_xor_si256(_mm256_clmulepi64_epi128(lo, poly, 0x10), _mm256_shuffle_epi32(lo, 0x4e)));
    return _mm256_xor_si256(hi,
                            _mm256_xor_si256(_mm256_clmulepi64_epi128(mi, poly, 0x10), _mm256_shuffle_epi32(mi, 0x4e)));
}

VAES_TARGET inline __m128i ghashMultiply(__m128i a, __m128i b)
{
    __m128i lo = _mm_setzero_si128(), mi = lo, hi = lo;
    multiplyInto(a, b, lo, mi, hi);
    return reduce(lo, mi, hi);
}

VAES_TARGET inline __m128i encryptBlock(const unsigned char (*keys)[16], __m128i block)
{
    block = _mm_xor_si128(block, load(keys[0]));
    for (int round = 1; round < 10; ++round)
        block = _mm_aesenc_si128(block, load(keys[round]));
    return _mm_aesenclast_si128(block, load(keys[10]));
}

// One step of the AES-128 key schedule: the next round key from the last and its assist word.
VAES_TARGET inline __m128i nextRoundKey(__m128i key, __m128i assist)
{
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, _mm_shuffle_epi32(assist, 0xff));
}

VAES_TARGET void expandKey(const unsigned char *key, unsigned char (*keys)[16])
{
    __m128i k = load(key);
    store(keys[0], k);
#define VAES_ROUND_KEY(i, rcon)                                      \
    k = nextRoundKey(k, _mm_aeskeygenassist_si128(k, rcon)); \
    store(keys[i], k);
    VAES_ROUND_KEY(1, 0x01)
    VAES_ROUND_KEY(2, 0x02)
    VAES_ROUND_KEY(3, 0x04)
    VAES_ROUND_KEY(4, 0x08)
    VAES_ROUND_KEY(5, 0x10)
    VAES_ROUND_KEY(6, 0x20)
    VAES_ROUND_KEY(7, 0x40)
    VAES_ROUND_KEY(8, 0x80)
    VAES_ROUND_KEY(9, 0x1b)
    VAES_ROUND_KEY(10, 0x36)
#undef VAES_ROUND_KEY
}

VAES_TARGET void computePowers(const unsigned char (*keys)[16], unsigned char (*powers)[16])
{
    // H = E(0), bytes reversed, times x (a shift by one, the polynomial added when a bit falls out).
    const __m128i h = reversed(encryptBlock(keys, _mm_setzero_si128()));
    auto lo = static_cast<unsigned long long>(_mm_cvtsi128_si64(h));
    auto hi = static_cast<unsigned long long>(_mm_extract_epi64(h, 1));
    const bool carry = hi >> 63;
    hi = (hi << 1) | (lo >> 63);
    lo <<= 1;
    if (carry) {
        hi ^= 0xc200000000000000ULL;
        lo ^= 1;
    }
    const __m128i h1 = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    __m128i power = h1;
    store(powers[VaesGcm::Powers - 1], power);
    for (int i = VaesGcm::Powers - 2; i >= 0; --i) {
        power = ghashMultiply(power, h1);
        store(powers[i], power);
    }
}

// The counter block of `run` for block number `counter`, bytes reversed: its 32-bit counter is
// then the lowest lane, which an addition of lanes steps as GCM's inc32 does.
VAES_TARGET __m128i reversedCounter(const VaesGcm::Run &run, uint32_t counter)
{
    alignas(16) unsigned char block[16];
    std::memcpy(block, run.iv, VaesGcm::IvBytes);
    block[12] = static_cast<unsigned char>(counter >> 24);
    block[13] = static_cast<unsigned char>(counter >> 16);
    block[14] = static_cast<unsigned char>(counter >> 8);
    block[15] = static_cast<unsigned char>(counter);
    return reversed(load(block));
}

VAES_TARGET void hashBlocks(__m128i &hash, __m128i h1, const unsigned char *bytes, size_t size)
{
    for (size_t at = 0; at < size; at += 16) {
        alignas(16) unsigned char block[16] = {};
        std::memcpy(block, bytes + at, size - at < 16 ? size - at : 16);
        hash = ghashMultiply(_mm_xor_si128(hash, reversed(load(block))), h1);
    }
}

VAES_TARGET void beginRun(const unsigned char (*keys)[16], const unsigned char (*powers)[16], VaesGcm::Run &run,
                          const unsigned char *iv, const unsigned char *additional, size_t size)
{
    std::memcpy(run.iv, iv, VaesGcm::IvBytes);
    run.counter = 2; // block 1 is the tag's mask
    run.additionalBytes = size;
    run.textBytes = 0;
    store(run.mask, encryptBlock(keys, reversed(reversedCounter(run, 1))));
    __m128i hash = _mm_setzero_si128();
    hashBlocks(hash, load(powers[VaesGcm::Powers - 1]), additional, size);
    store(run.hash, hash);
}

// Encrypts or decrypts 2 * Pairs blocks at a time, two to a register, for as long as there
// are that many, and hashes them: the first block (with the hash so far) times the highest
// power of H, the last times H, the products reduced once.
template<bool Sealing, int Pairs>
VAES_TARGET void cryptBlocks(const unsigned char (*keys)[16], const unsigned char (*powers)[16],
                             const unsigned char *in, unsigned char *out, size_t size, size_t &done,
                             __m128i &counter, __m128i &hash)
{
    constexpr size_t Bytes = 32 * Pairs;
    if (size - done < Bytes)
        return;
    __m256i k[11];
    for (int i = 0; i < 11; ++i)
        k[i] = _mm256_broadcastsi128_si256(load(keys[i]));
    const auto *powerPairs = reinterpret_cast<const __m256i *>(powers[VaesGcm::Powers - 2 * Pairs]);
    const __m256i two = _mm256_set_epi32(0, 0, 0, 2, 0, 0, 0, 2);
    __m256i c = _mm256_add_epi32(_mm256_broadcastsi128_si256(counter), _mm256_set_epi32(0, 0, 0, 1, 0, 0, 0, 0));
    for (; size - done >= Bytes; done += Bytes) {
        __m256i b[Pairs], x[Pairs];
#pragma GCC unroll 8
        for (int i = 0; i < Pairs; ++i) {
            b[i] = _mm256_xor_si256(reversed(c), k[0]);
            c = _mm256_add_epi32(c, two);
        }
        for (int round = 1; round < 10; ++round) {
#pragma GCC unroll 8
            for (int i = 0; i < Pairs; ++i)
                b[i] = _mm256_aesenc_epi128(b[i], k[round]);
        }
        const auto *from = reinterpret_cast<const __m256i *>(in + done);
        auto *to = reinterpret_cast<__m256i *>(out + done);
        __m256i lo = _mm256_setzero_si256(), mi = lo, hi = lo;
#pragma GCC unroll 8
        for (int i = 0; i < Pairs; ++i) {
            x[i] = _mm256_loadu_si256(from + i);
            const __m256i y = _mm256_xor_si256(_mm256_aesenclast_epi128(b[i], k[10]), x[i]);
            _mm256_storeu_si256(to + i, y);
            __m256i text = reversed(Sealing ? y : x[i]);
            if (i == 0)
                text = _mm256_xor_si256(text, _mm256_set_m128i(_mm_setzero_si128(), hash));
            multiplyInto(text, _mm256_loadu_si256(powerPairs + i), lo, mi, hi);
        }
        const __m256i both = reduce(lo, mi, hi);
        hash = _mm_xor_si128(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
    }
    counter = _mm256_castsi256_si128(c);
}

template<bool Sealing>
VAES_TARGET void cryptRun(const unsigned char (*keys)[16], const unsigned char (*powers)[16], VaesGcm::Run &run,
                          const unsigned char *in, unsigned char *out, size_t size)
{
    __m128i hash = load(run.hash);
    const __m128i h1 = load(powers[VaesGcm::Powers - 1]);
    __m128i counter = reversedCounter(run, run.counter);
    size_t done = 0;
    cryptBlocks<Sealing, 8>(keys, powers, in, out, size, done, counter, hash);
    cryptBlocks<Sealing, 2>(keys, powers, in, out, size, done, counter, hash);
    for (; done < size; done += 16) {
        const size_t n = size - done < 16 ? size - done : 16;
        const __m128i stream = encryptBlock(keys, reversed(counter));
        counter = _mm_add_epi32(counter, _mm_set_epi32(0, 0, 0, 1));
        alignas(16) unsigned char block[16] = {};
        std::memcpy(block, in + done, n);
        const __m128i x = load(block);
        store(block, _mm_xor_si128(x, stream));
        std::memcpy(out + done, block, n);
        if (Sealing)
            std::memset(block + n, 0, 16 - n); // the ciphertext is hashed padded with zeros
        hash = ghashMultiply(_mm_xor_si128(hash, reversed(Sealing ? load(block) : x)), h1);
    }
    store(run.hash, hash);
    run.counter += static_cast<uint32_t>((size + 15) / 16);
    run.textBytes += size;
}

VAES_TARGET void finishRun(const unsigned char (*powers)[16], const VaesGcm::Run &run, unsigned char *out)
{
    // The lengths block (both lengths in bits, big-endian), bytes reversed.
    const __m128i lengths = _mm_set_epi64x(static_cast<long long>(run.additionalBytes * 8),
                                           static_cast<long long>(run.textBytes * 8));
    const __m128i hash = ghashMultiply(_mm_xor_si128(load(run.hash), lengths), load(powers[VaesGcm::Powers - 1]));
    store(out, _mm_xor_si128(reversed(hash), load(run.mask)));
}

} // namespace

bool VaesGcm::available()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool aes = c & (1u << 25), pclmul = c & (1u << 1), osxsave = c & (1u << 27), avx = c & (1u << 28);
    if (!aes || !pclmul || !osxsave || !avx)
        return false;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 6) != 6) // the system saves the vector registers
        return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    const bool avx2 = b & (1u << 5), vaes = c & (1u << 9), vpclmulqdq = c & (1u << 10);
    return avx2 && vaes && vpclmulqdq;
}

VaesGcm::VaesGcm(const unsigned char *key)
{
    expandKey(key, m_roundKeys);
    computePowers(m_roundKeys, m_powers);
}

VaesGcm::~VaesGcm()
{
    OPENSSL_cleanse(m_roundKeys, sizeof m_roundKeys);
    OPENSSL_cleanse(m_powers, sizeof m_powers);
}

void VaesGcm::begin(Run &run, const unsigned char *iv, const unsigned char *additional, size_t size) const
{
    beginRun(m_roundKeys, m_powers, run, iv, additional, size);
}

void VaesGcm::seal(Run &run, const unsigned char *in, unsigned char *out, size_t size) const
{
    cryptRun<true>(m_roundKeys, m_powers, run, in, out, size);
}

void VaesGcm::open(Run &run, const unsigned char *in, unsigned char *out, size_t size) const
{
    cryptRun<false>(m_roundKeys, m_powers, run, in, out, size);
}

void VaesGcm::tag(const Run &run, unsigned char *out) const
{
    finishRun(m_powers, run, out);
}

} // namespace secure
