#include "filedigest.h"

#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <new>

#include <unistd.h>

namespace platform {

namespace {

// What one read of a file being digested takes: small enough to stay in the processor's cache.
constexpr qint64 ReadBlock = 256 * 1024;

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
    XXH3_128bits_update(m_state.get(), data, size_t(size));
    m_length += size;
}

bool FileDigest::addFile(int file, qint64 offset, qint64 count, int &systemError)
{
    systemError = 0;
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

QByteArray FileDigest::value() const
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state.get()));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), ValueBytes);
}

} // namespace platform
