#include "filedigest.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <QtEndian>

#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace detail {
void xxh3UpdateAvx2(void *state, const void *data, std::size_t size);
} // namespace detail

namespace {

using Update = void (*)(XXH3_state_t *, const void *, std::size_t);

void libraryUpdate(XXH3_state_t *state, const void *data, std::size_t size)
{
    XXH3_128bits_update(state, data, size);
}

void avx2Update(XXH3_state_t *state, const void *data, std::size_t size)
{
    detail::xxh3UpdateAvx2(state, data, size);
}

// AVX2 where the processor has it, unless VELMORA_DIGEST=library keeps libxxhash's own path.
Update chosenUpdate()
{
#if defined(__x86_64__) || defined(__i386__)
    if (qgetenv("VELMORA_DIGEST") != "library" && __builtin_cpu_supports("avx2"))
        return &avx2Update;
#endif
    return &libraryUpdate;
}

Update &update()
{
    static Update chosen = chosenUpdate();
    return chosen;
}

// What one read of a file being digested takes: large enough for the disk's read-ahead to keep
// up where the file is not in the page cache (measured: 1 MiB reads announced as sequential
// read 512 MiB from this machine's disk in 0.17 s, 256 KiB reads unannounced in 0.9 s), small
// enough to stay in the processor's cache where it is.
constexpr qint64 ReadBlock = 1024 * 1024;

XXH3_state_t *newState()
{
    XXH3_state_t *state = XXH3_createState();
    if (!state)
        throw std::bad_alloc();
    return state;
}

} // namespace

void FileDigest::StateDeleter::operator()(XXH3_state_s *state) const
{
    XXH3_freeState(state);
}

FileDigest::FileDigest()
    : m_state(newState())
{
    reset();
}

FileDigest::~FileDigest() = default;

FileDigest::FileDigest(const FileDigest &other)
    : m_state(newState())
    , m_length(other.m_length)
{
    XXH3_copyState(m_state.get(), other.m_state.get());
}

FileDigest &FileDigest::operator=(const FileDigest &other)
{
    if (this != &other) {
        XXH3_copyState(m_state.get(), other.m_state.get());
        m_length = other.m_length;
    }
    return *this;
}

void FileDigest::reset()
{
    XXH3_128bits_reset(m_state.get());
    m_length = 0;
}

void FileDigest::add(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    update()(m_state.get(), data, size_t(size));
    const qint64 before = m_length;
    m_length += size;
    if (m_checkpointEvery > 0 && m_length / m_checkpointEvery != before / m_checkpointEvery)
        m_checkpointReached(*this);
}

void FileDigest::setCheckpoints(qint64 every, std::function<void(const FileDigest &)> reached)
{
    m_checkpointEvery = reached ? qMax<qint64>(every, 0) : 0;
    m_checkpointReached = std::move(reached);
}

bool FileDigest::addFile(int file, qint64 offset, qint64 count, int &systemError)
{
    systemError = 0;
    ::posix_fadvise(file, off_t(offset), off_t(count), POSIX_FADV_SEQUENTIAL);
    QByteArray block(qMin(count, ReadBlock), Qt::Uninitialized);
    while (count > 0) {
        const ssize_t got = ::pread(file, block.data(), size_t(qMin<qint64>(count, block.size())), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            systemError = got < 0 ? errno : 0;
            return false;
        }
        add(block.constData(), got);
        offset += got;
        count -= got;
    }
    return true;
}

bool FileDigest::useLibrary(bool on)
{
    const bool was = update() == &libraryUpdate;
    update() = on ? &libraryUpdate : chosenUpdate();
    return was;
}

QByteArray FileDigest::value() const
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state.get()));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), ValueBytes);
}

namespace {

constexpr char SavedFormat = 1;
constexpr std::size_t StripeBytes = 64;

template <typename T>
void put(char *&at, T value)
{
    qToLittleEndian(value, at);
    at += sizeof(T);
}

template <typename T>
T take(const char *&at)
{
    const T value = qFromLittleEndian<T>(at);
    at += sizeof(T);
    return value;
}

} // namespace

QByteArray FileDigest::saved() const
{
    const XXH3_state_t &s = *m_state;
    static_assert(sizeof(s.acc) == 8 * 8 && sizeof(s.buffer) == 256, "the saved layout follows XXH3's state");
    QByteArray out(SavedBytes, Qt::Uninitialized);
    char *at = out.data();
    put<quint8>(at, SavedFormat);
    put<quint64>(at, s.totalLen);
    put<quint32>(at, s.bufferedSize);
    put<quint64>(at, quint64(s.nbStripesSoFar));
    for (const XXH64_hash_t lane : s.acc)
        put<quint64>(at, lane);
    std::memcpy(at, s.buffer, sizeof(s.buffer));
    return out;
}

bool FileDigest::restore(const QByteArray &saved)
{
    if (saved.size() != SavedBytes || saved.at(0) != SavedFormat)
        return false;
    const char *at = saved.constData() + 1;
    const quint64 length = take<quint64>(at);
    const quint32 buffered = take<quint32>(at);
    const quint64 stripes = take<quint64>(at);
    // Fresh state with the default secret, into which the saved fields go: the consumed bytes are
    // whole stripes, the buffer holds the rest (never empty once there are bytes), and the count
    // of stripes in the current block lies within a block.
    XXH3_state_t restored;
    XXH3_128bits_reset(&restored);
    if (length > quint64(std::numeric_limits<qint64>::max()) || buffered > sizeof(restored.buffer) || buffered > length
        || (length - buffered) % StripeBytes != 0 || (length > 0 && buffered == 0)
        || stripes >= restored.nbStripesPerBlock || stripes != (length - buffered) / StripeBytes % restored.nbStripesPerBlock)
        return false;
    restored.totalLen = length;
    restored.bufferedSize = buffered;
    restored.nbStripesSoFar = std::size_t(stripes);
    for (XXH64_hash_t &lane : restored.acc)
        lane = take<quint64>(at);
    std::memcpy(restored.buffer, at, sizeof(restored.buffer));
    XXH3_copyState(m_state.get(), &restored);
    m_length = qint64(length);
    return true;
}

} // namespace platform
