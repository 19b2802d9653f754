#pragma once

/// The memory this process may still take, in bytes: the least of what the
/// machine has available, what the address-space limit leaves and what the
/// control group's limit leaves. A fill or a field estimated above it is
/// refused before it is attempted.
double availableMemory();

/// Bytes one particle takes while a simulation runs: its record, its grid
/// and neighbour entries, and springs or contacts, at most (from the
/// benchmarks, about 1.2 kB for soft bodies, less for the others).
constexpr double bytesPerParticle = 1200.0;
