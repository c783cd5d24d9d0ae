#pragma once

#include <cstdint>

// The program's flags are 16-bit values: True is -1 and False is 0. Code that compares
// with True compares with -1 exactly.
using Flag = std::int16_t;
inline constexpr Flag True = -1;
inline constexpr Flag False = 0;
