#pragma once
// The whole-file check of a transfer: XXH3-128 (libxxhash) over a file's bytes, added piece
// by piece as they pass, so that the check costs no second read of the file.

#include "velmora_platform_export.h"

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <memory>

struct XXH3_state_s;

namespace platform {

class VELMORA_PLATFORM_EXPORT FileDigest
{
public:
    /// Bytes of a digest's value.
    static constexpr int ValueBytes = 16;

    FileDigest();
    ~FileDigest();
    FileDigest(const FileDigest &other);
    FileDigest &operator=(const FileDigest &other);

    /// Starts again from no bytes.
    void reset();
    /// Adds `size` bytes.
    void add(const char *data, qint64 size);
    /// Adds `count` bytes of `file` from `offset`, read here; false (with errno's value in
    /// `systemError`, or 0 when the file ends first) when they cannot all be read.
    bool addFile(int file, qint64 offset, qint64 count, int &systemError);
    /// How many bytes were added.
    qint64 length() const { return m_length; }
    /// The digest of the bytes added so far, 16 bytes in canonical (big-endian) order; more
    /// bytes may still be added afterwards.
    QByteArray value() const;

    /// Calls `reached` with this digest whenever added bytes take its length past a multiple of
    /// `every` (never for 0). Copies do not take it over.
    void setCheckpoints(qint64 every, std::function<void(const FileDigest &)> reached);

    /// Bytes of a saved state.
    static constexpr int SavedBytes = 1 + 8 + 4 + 8 + 8 * 8 + 256;
    /// Where the digest stands (its length included), to be taken up later by restore() so that
    /// the bytes added so far need not be read again. It says nothing the bytes do not; it is
    /// only as trustworthy as the place it is kept.
    QByteArray saved() const;
    /// Takes up a state saved() by this library: false, and nothing changed, when `saved` is not
    /// one (another format, or fields that do not fit together).
    bool restore(const QByteArray &saved);

    /// Whether bytes are added by libxxhash's own code (on) or by this library's AVX2 build of
    /// the same code, where the processor has AVX2 (off, the default unless VELMORA_DIGEST=library
    /// is in the environment); both give the same digests. Returns what was used before.
    static bool useLibrary(bool on);

private:
    struct StateDeleter
    {
        void operator()(XXH3_state_s *state) const;
    };
    std::unique_ptr<XXH3_state_s, StateDeleter> m_state;
    qint64 m_length = 0;
    qint64 m_checkpointEvery = 0;
    std::function<void(const FileDigest &)> m_checkpointReached;
};

} // namespace platform
