// What the worker pool's own source and its tests use beyond worker_pool.hpp: the rule that
// sizes the pool from the environment, and the state of the process-wide pool.
#pragma once

#include <cstddef>
#include <optional>

#include "worker_pool.hpp"

namespace ostrilo::pool {

// ---------------------------------------------------------------------------
// Sizing.

// A decimal integer: one or more ASCII digits, optionally preceded by a
// single '+'; nothing else (no spaces, no sign '-'). Values too large for
// size_t saturate. nullopt for null or anything else.
std::optional<std::size_t> parse_decimal(const char* text) noexcept;

// The pool size rule: `num_threads` (RAYON_NUM_THREADS) if it is a decimal
// integer: > 0 is the count, 0 selects `default_count`. Otherwise
// `rs_num_cpus` (RAYON_RS_NUM_CPUS) if it is a decimal integer > 0.
// Otherwise `default_count`. Result is clamped to [1, kMaxThreads].
std::size_t decide_thread_count(const char* num_threads, const char* rs_num_cpus, std::size_t default_count) noexcept;

// Same, with default_thread_count() as the default (computed only if needed).
std::size_t decide_thread_count(const char* num_threads, const char* rs_num_cpus) noexcept;

// ---------------------------------------------------------------------------
// The process-wide pool's state.

// Whether the process-wide pool is running. Never starts it.
bool started() noexcept;

}  // namespace ostrilo::pool
