// The tables of platform calls that a module's tests fill with fakes.
//
// The library as built for shipping calls through each module's real table
// in place: constant data, in memory the process cannot write, so nothing on
// the crash path calls through a pointer that anything could have changed.
// Built for the tests (RUXTRAP_TEST_SEAMS), the module calls through a
// writable copy of its table instead, which the tests reach through the
// module's The...Platform().
#pragma once

#ifdef RUXTRAP_TEST_SEAMS
#define RUXTRAP_SEAM(Table, name, real) Table name = real
#else
#define RUXTRAP_SEAM(Table, name, real) constexpr const Table& name = real
#endif
