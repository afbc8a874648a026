// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstddef>

namespace kvitor {

// Storage for tag nodes: a report holds millions of equal-sized nodes, made
// on the job's thread and freed on any thread. Carving them from large slabs
// spares the allocator's per-block overhead and most of its time; freed
// nodes are reused by the next report. Sanitizer builds use the ordinary
// allocator, so that they still see every node's misuse.
void* AllocateTagNode(std::size_t size);
void FreeTagNode(void* node) noexcept;

}  // namespace kvitor
