#include "tools/kvtape-target/tcmu_ring.h"

#include <algorithm>
#include <cstring>

#include "tools/kvtape-target/tcmu_layout.h"

namespace {

std::uint32_t load(const std::uint32_t& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }

struct data_piece {
    std::size_t offset;
    std::size_t length;
};

}  // namespace

std::size_t cdb_length_of(std::uint8_t operation_code) {
    switch (operation_code >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;
    }
}

bool is_data_out(std::uint8_t operation_code) {
    switch (operation_code) {
    case 0x3B:  // WRITE BUFFER
    case 0x15:  // MODE SELECT(6)
    case 0x55:  // MODE SELECT(10)
    case 0x0A:  // WRITE(6)
    case 0x4C:  // LOG SELECT
        return true;
    default: return false;
    }
}

int serve_ring(std::uint8_t* map, std::size_t map_size, std::vector<std::uint8_t>& buffer,
               const tcmu_handler& handler) {
    auto* mailbox = reinterpret_cast<tcmu_mailbox_layout*>(map);
    const std::uint32_t ring_size = mailbox->cmdr_size;
    std::uint8_t* const ring = map + mailbox->cmdr_off;
    std::uint32_t tail = mailbox->cmd_tail;
    int answered = 0;
    while (tail != load(mailbox->cmd_head)) {
        auto* entry = reinterpret_cast<tcmu_entry_layout*>(ring + tail);
        const std::uint32_t length = entry->hdr.len_op & ~tcmu_op_mask;
        if ((entry->hdr.len_op & tcmu_op_mask) == tcmu_op_cmd) {
            tcmu_command command;
            const std::uint8_t* cdb = map + entry->req.cdb_off;
            command.cdb_length = std::min(cdb_length_of(cdb[0]), command.cdb.size());
            std::copy_n(cdb, command.cdb_length, command.cdb.begin());
            command.data_out = is_data_out(cdb[0]);
            // The answer overwrites the request (they share the entry), so the
            // data pieces are noted first. Their bases are offsets into the map.
            std::vector<data_piece> pieces;
            std::size_t total = 0;
            const iovec* const iovs = entry->req.iov;  // iov_cnt of them, past the declared one
            for (std::uint32_t i = 0; i < entry->req.iov_cnt; ++i) {
                const auto offset = reinterpret_cast<std::size_t>(iovs[i].iov_base);
                const std::size_t piece = iovs[i].iov_len;
                if (offset > map_size || piece > map_size - offset) break;  // never outside the map
                pieces.push_back({offset, piece});
                total += piece;
            }
            buffer.assign(total, 0);
            if (command.data_out) {
                std::size_t at = 0;
                for (const data_piece& p : pieces) {
                    std::memcpy(buffer.data() + at, map + p.offset, p.length);
                    at += p.length;
                }
            }
            command.data = &buffer;
            const tcmu_answer answer = handler(command);
            if (!command.data_out) {
                std::size_t left = std::min(answer.moved, total);
                std::size_t at = 0;
                for (const data_piece& p : pieces) {
                    const std::size_t part = std::min(left, p.length);
                    std::memcpy(map + p.offset, buffer.data() + at, part);
                    at += part;
                    left -= part;
                }
            }
            std::memset(&entry->rsp, 0, sizeof entry->rsp);
            entry->rsp.scsi_status = answer.status;
            if (answer.sense && answer.sense_length > 0) {
                std::memcpy(entry->rsp.sense_buffer, answer.sense,
                            std::min<std::size_t>(answer.sense_length, tcmu_sense_buffer_size));
            }
            // Where the kernel can take a shorter read, it learns the length
            // the drive really returned (an allocation length cuts answers).
            if (!command.data_out && (mailbox->flags & tcmu_mailbox_flag_cap_read_len)) {
                entry->hdr.uflags |= tcmu_uflag_read_len;
                entry->rsp.read_len = static_cast<std::uint32_t>(std::min(answer.moved, total));
            }
            ++answered;
        }
        tail = (tail + length) % ring_size;
        if (length == 0) break;  // a broken entry: do not spin on it
    }
    __atomic_store_n(&mailbox->cmd_tail, tail, __ATOMIC_RELEASE);
    return answered;
}
