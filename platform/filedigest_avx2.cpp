// XXH3's update with AVX2, for processors that have it: this file alone is compiled for AVX2
// (libxxhash as shipped takes the baseline's SSE2 path, at less than half the rate), and is
// called only after the processor was asked. The state is XXH3's own, laid out as the library
// lays it out, so the library's reset and digest work on it unchanged.
#define XXH_INLINE_ALL
#if defined(__AVX2__)
#define XXH_VECTOR XXH_AVX2
#endif
#include <xxhash.h>

#include <cstddef>

namespace platform::detail {

void xxh3UpdateAvx2(void *state, const void *data, std::size_t size)
{
    XXH3_128bits_update(static_cast<XXH3_state_t *>(state), data, size);
}

} // namespace platform::detail
