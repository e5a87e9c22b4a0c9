// Preloaded into TShark by the benchmark under callgrind: the host seeds the
// hash function of its wmem maps with g_random_int() in every process, and
// the seed moves the instruction count of the same run by up to 2%. This
// returns a fixed sequence instead, chosen by VALTOCRANE_HASH_SEED, so that a
// run counts the same every time and configurations can be compared seed
// for seed.

#include <cstdint>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) std::uint32_t g_random_int(void);

extern "C" std::uint32_t
g_random_int(void)
{
    static std::uint32_t state;
    static bool seeded;

    if (!seeded) {
        const char *seed = std::getenv("VALTOCRANE_HASH_SEED");
        state = seed ? static_cast<std::uint32_t>(std::strtoul(seed, nullptr, 10)) : 1U;
        seeded = true;
    }
    state = state * 1664525U + 1013904223U;  // a linear congruential step
    return state;
}
