// The shared-memory layout of the kernel's user-space SCSI backstore (TCMU),
// as <linux/target_core_user.h> defines it. That header's inline helpers do
// not compile as C++ (they return an integer as an enum), so its records are
// written out here; the offsets are the kernel's ABI and are checked below.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

constexpr std::uint16_t tcmu_mailbox_flag_cap_read_len = 1 << 1;
constexpr std::uint32_t tcmu_op_mask = 0x7;
constexpr std::uint32_t tcmu_op_pad = 0;
constexpr std::uint32_t tcmu_op_cmd = 1;
constexpr std::uint8_t tcmu_uflag_read_len = 0x2;
constexpr std::size_t tcmu_sense_buffer_size = 96;

struct tcmu_mailbox_layout {
    std::uint16_t version;
    std::uint16_t flags;
    std::uint32_t cmdr_off;
    std::uint32_t cmdr_size;
    std::uint32_t cmd_head;             // moved by the kernel
    alignas(64) std::uint32_t cmd_tail;  // moved by us, on its own cache line
};

struct tcmu_entry_header {
    std::uint32_t len_op;  // entry length, operation in the low three bits
    std::uint16_t cmd_id;
    std::uint8_t kflags;
    std::uint8_t uflags;
};

// Only the outer entry is packed in the kernel's definition; the request's
// 64-bit fields keep their natural alignment inside it.
struct tcmu_entry_request {
    std::uint32_t iov_cnt;
    std::uint32_t iov_bidi_cnt;
    std::uint32_t iov_dif_cnt;
    std::uint64_t cdb_off;
    std::uint64_t pad1;
    std::uint64_t pad2;
    iovec iov[1];  // iov_cnt of them; iov_base holds an offset into the map
};

struct tcmu_entry_response {
    std::uint8_t scsi_status;
    std::uint8_t pad1;
    std::uint16_t pad2;
    std::uint32_t read_len;
    std::uint8_t sense_buffer[tcmu_sense_buffer_size];
};

struct tcmu_entry_layout {
    tcmu_entry_header hdr;
    union {
        tcmu_entry_request req;
        tcmu_entry_response rsp;
    };
};

static_assert(offsetof(tcmu_mailbox_layout, cmd_head) == 12);
static_assert(offsetof(tcmu_mailbox_layout, cmd_tail) == 64);
static_assert(sizeof(tcmu_entry_header) == 8);
static_assert(offsetof(tcmu_entry_layout, req) + offsetof(tcmu_entry_request, cdb_off) == 24, "cdb_off at entry + 24");
static_assert(offsetof(tcmu_entry_layout, req) + offsetof(tcmu_entry_request, iov) == 48, "iovecs at entry + 48");
static_assert(offsetof(tcmu_entry_layout, rsp) + offsetof(tcmu_entry_response, read_len) == 12);
static_assert(offsetof(tcmu_entry_layout, rsp) + offsetof(tcmu_entry_response, sense_buffer) == 16);
