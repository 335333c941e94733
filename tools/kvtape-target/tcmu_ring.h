// The command ring the kernel's user-space SCSI backstore (TCMU) shares with
// us through a UIO device: the kernel appends command entries, we answer each
// in place and move the tail on. Works on any mapped block, so the tests give
// it one of their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// One command as the drive model sees it. `data` points into the ring's data
// area, gathered into one buffer: for a data-out command it holds what the
// initiator sent, for data-in the answer is written there.
struct tcmu_command {
    std::array<std::uint8_t, 16> cdb{};
    std::size_t cdb_length = 0;
    std::vector<std::uint8_t>* data = nullptr;
    bool data_out = false;
};

struct tcmu_answer {
    std::uint8_t status = 0;
    std::size_t moved = 0;                  // data-in bytes to hand back
    const std::uint8_t* sense = nullptr;    // fixed format, on CHECK CONDITION
    std::size_t sense_length = 0;
};

using tcmu_handler = std::function<tcmu_answer(const tcmu_command&)>;

// Length of a CDB from its operation code's group, as SAM defines them.
std::size_t cdb_length_of(std::uint8_t operation_code);
// True for the commands whose data goes to the drive (the entry does not say).
bool is_data_out(std::uint8_t operation_code);

// Answers every entry between the mailbox's tail and head; returns how many
// commands were answered. The caller tells the kernel afterwards.
int serve_ring(std::uint8_t* map, std::size_t map_size, std::vector<std::uint8_t>& buffer,
               const tcmu_handler& handler);
