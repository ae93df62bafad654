#include "runtime/select.h"

#include <random>

namespace pacpick::rt {

bool coin_flip() {
    thread_local std::minstd_rand generator(std::random_device{}());
    return (generator() & 1u) != 0;
}

}  // namespace pacpick::rt
