#pragma once
// Work over the records of a table split between two threads: the calling thread reads a chunk
// of records (decodes them into a slot), a second thread turns the chunk into text and writes it,
// chunk after chunk in order, while the first reads the next. A few slots are in flight at once,
// so memory stays flat whatever the number of records. Only the calling thread touches the table.

#include <cstdint>
#include <functional>

namespace tavrinth {

// Items [0, total) in chunks of `chunkItems`: produce(slot, chunk, first, count) fills a slot
// (0 .. slots-1) in the calling thread, consume(slot) empties it in a second thread, the chunks
// in order. A single chunk is produced and consumed in the calling thread. An exception from
// either side stops both; the first one is rethrown here once the second thread has ended.
void runChunkPipeline(std::uint32_t total, std::uint32_t chunkItems, int slots,
                      const std::function<void(int slot, std::uint32_t chunk, std::uint32_t first, std::uint32_t count)>& produce,
                      const std::function<void(int slot)>& consume);

}  // namespace tavrinth
