// The one buffer every chunk of every image travels in.
#pragma once

#include <array>
#include <cstdint>

constexpr int chunk_size = 32768;

// The Windows pass-through hands the buffer straight to the adapter for a
// direct transfer, and adapters want it aligned to a page. Allocated once per
// flashing run (aligned new) and reused for every chunk and every drive, so
// memory stays the same whatever the size of the image.
struct alignas(4096) transfer_buffer {
    std::array<std::uint8_t, chunk_size> bytes;
};
