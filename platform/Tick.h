#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds since an arbitrary start, truncated to 32 bits: it wraps after
// about 49.7 days, so compare ticks by unsigned subtraction only.
uint32_t GetTickCount();

void Sleep(uint32_t milliseconds);

// The local calendar time now.
std::tm LocalTime();
