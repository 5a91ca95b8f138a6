// The canary of the heap check (heap_check.sh): it damages the heap on purpose, and the check must
// report it; a heap check that stays silent here proves nothing elsewhere. Disabled in normal runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>

namespace {
// Out of the optimiser's sight, so the write past the end is really made.
volatile std::size_t g_overrun = 8;
}

TEST(HeapCheck, DISABLED_CorruptionIsReported)
{
    char* block = new char[24];
    for (std::size_t i = 0; i < 24 + g_overrun; ++i)
        block[i] = 'x';
    delete[] block;
    HeapValidate(GetProcessHeap(), 0, nullptr);
}
