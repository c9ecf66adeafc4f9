#include "core/runtime/random.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <random>

#include "core/failure.hpp"
#include "core/runtime/worker_pool.hpp"

namespace velmar {

namespace {

std::mt19937_64 seeded_from_system() {
    std::array<std::uint32_t, 8> words{};
    try {
        std::random_device source;
        for (auto& word : words) {
            word = source();
        }
    } catch (const std::exception&) {
        // Only InternalFailure may leave the core.
        fail("the operating system's random source is unavailable");
    }
    std::seed_seq seed(words.begin(), words.end());
    return std::mt19937_64(seed);
}

// One generator per thread, seeded on its first draw; its stream continues across calls.
// A forked child reseeds at its first draw, so that it and its siblings do not repeat the
// parent's draws.
std::mt19937_64& thread_generator() {
    thread_local std::uint64_t seeded_in = fork_generation();
    thread_local std::mt19937_64 generator = seeded_from_system();
    const std::uint64_t now = fork_generation();
    if (seeded_in != now) {
        generator = seeded_from_system();
        seeded_in = now;
    }
    return generator;
}

// 53 random bits scaled into [0, 1): every value is exactly representable.
double unit_draw(std::mt19937_64& generator) { return static_cast<double>(generator() >> 11) * 0x1.0p-53; }

}  // namespace

Uniform::Uniform(double low, double high) : low_(low), width_(high - low), high_(high) {
    if (!(low < high)) {
        fail("Uniform::new called with `low >= high`");
    }
    if (!std::isfinite(width_)) {
        fail("Uniform::new: range overflow");
    }
}

double Uniform::draw() const {
    const double value = low_ + width_ * unit_draw(thread_generator());
    // Rounding of low + width * u can land on high when u is close to 1.
    return value < high_ ? value : std::nextafter(high_, low_);
}

std::vector<double> Uniform::draw_many(std::size_t count) const {
    std::vector<double> values(count);
    for (auto& value : values) {
        value = draw();
    }
    return values;
}

}  // namespace velmar
