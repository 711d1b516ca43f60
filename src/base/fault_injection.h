// Allocation fault injection for tests. In a build configured with
// -DQUENDLE_FAULT_INJECTION=ON, fault_injection.cpp replaces the global
// operator new and delete with counting versions that fail on request, and
// fault_point() counts the raw allocations made outside operator new. In
// every other build fault_point() is an empty inline function.
#pragma once

namespace quendle {

#ifdef QUENDLE_FAULT_INJECTION
// Counts one allocation; throws std::bad_alloc when an armed failure is due.
void fault_point();
#else
inline void fault_point() noexcept {}
#endif

}  // namespace quendle
