// SPDX-License-Identifier: BSD-2-Clause
#include "archive/archive.h"
#include "platform/platform.h"

static_assert(MAX_WORKERS <= MAX_POOL_THREADS, "every worker has a thread of the pool");
static_assert(MAX_SLOTS <= MAX_LINE_TASKS, "every slot of a run can be in flight on its line");

unsigned worker_count(uint64_t blocks, unsigned cpus) {
    uint64_t workers = cpus;
    if (workers > MAX_WORKERS) workers = MAX_WORKERS;
    const uint64_t memory = physical_memory();
    if (memory > 0) {
        const uint64_t share = memory / 4;
        const uint64_t affordable = share / WORKER_MEMORY > 2 ? share / WORKER_MEMORY - 2 : 1;
        if (workers > affordable) workers = affordable;
    }
    if (workers > blocks) workers = blocks;
    return workers > 0 ? static_cast<unsigned>(workers) : 1;
}

unsigned slot_count(unsigned workers) { return workers <= 1 ? 1 : workers + 2; }

bool make_worker_table(WorkerTable* table) {
    table->memory.reset(static_cast<uint8_t*>(allocate_huge_memory(sizeof(MatchTable))));
    table->table = reinterpret_cast<MatchTable*>(table->memory.get());
    return table->table != nullptr;
}

int32_t compress_with(const WorkerTable& table, const uint8_t* source, uint8_t* destination, uint32_t size) {
    return table.table != nullptr ? compress_block(table.table, source, destination, size)
                                  : compress_block(source, destination, size);
}

int32_t decompress_with(const WorkerTable& table, const uint8_t* source, uint8_t* destination, uint32_t size,
                        uint32_t room) {
    return table.table != nullptr ? decompress_block(table.table, source, destination, size, room)
                                  : decompress_block(source, destination, size, room);
}
