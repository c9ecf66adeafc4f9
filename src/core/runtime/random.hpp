#pragma once
// Uniform draws from the calling thread's generator, seeded once per thread from the
// operating system's random source.

#include <cstddef>
#include <vector>

namespace velmar {

class Uniform {
public:
    // Fails with "Uniform::new called with `low >= high`" when !(low < high) and with
    // "Uniform::new: range overflow" when high - low is not finite.
    Uniform(double low, double high);

    // One draw in [low, high): never equal to high.
    double draw() const;
    std::vector<double> draw_many(std::size_t count) const;

private:
    double low_;
    double width_;
    double high_;
};

}  // namespace velmar
