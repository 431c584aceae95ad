// What the unit tests and the fuzzers share. No test framework in here, so
// that the fuzzers can include it too.
#ifndef PEMU_TEST_SUPPORT_H
#define PEMU_TEST_SUPPORT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pemu_plumbing.h"

namespace pemu_test {

// Puts the named environment variables back, when it goes, as they were
// when it was made.
class EnvGuard {
  public:
    explicit EnvGuard(std::vector<std::string> names) : names_(std::move(names))
    {
        for (const auto &n : names_) {
            const char *v = getenv(n.c_str());
            saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~EnvGuard()
    {
        for (size_t i = 0; i < names_.size(); i++) {
            if (saved_[i])
                setenv(names_[i].c_str(), saved_[i]->c_str(), 1);
            else
                unsetenv(names_[i].c_str());
        }
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    EnvGuard(EnvGuard &&) = default;

  private:
    std::vector<std::string> names_;
    std::vector<std::optional<std::string>> saved_;
};

// Subset sums by plain reachability, one sum at a time, packed into result
// words: slow, but shares nothing with the engine's word logic.
inline std::vector<uint64_t> bitwise_shift_or(const std::vector<uint64_t> &values)
{
    uint64_t total = 0;
    for (uint64_t v : values)
        total += v;
    std::vector<char> reach(total + 1, 0);
    reach[0] = 1;
    uint64_t top = 0;
    for (uint64_t v : values) {
        for (uint64_t s = top + 1; s-- > 0;)
            if (reach[s])
                reach[s + v] = 1;
        top += v;
    }
    std::vector<uint64_t> words(total / 64 + 1, 0);
    for (uint64_t s = 0; s <= total; s++)
        if (reach[s])
            words[s / 64] |= uint64_t{1} << (s % 64);
    return words;
}

// free(), because the library may grow or release what it is handed.
using HeapChunk = pemu::malloc_ptr<char>;

// An exactly-sized malloc'd copy of n bytes, as libcurl hands chunks over
// (no terminator), so that ASan reports any read past the end, even of an
// empty chunk.
inline HeapChunk heap_chunk(const void *data, size_t n)
{
    HeapChunk chunk(static_cast<char *>(malloc(n)));
    if (chunk == nullptr && n == 0) // malloc(0) may give no address at all
        chunk.reset(static_cast<char *>(malloc(1)));
    if (chunk == nullptr)
        abort();
    if (n != 0)
        memcpy(chunk.get(), data, n);
    return chunk;
}

} // namespace pemu_test

#endif
