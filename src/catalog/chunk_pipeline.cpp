#include "chunk_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace tavrinth {

void runChunkPipeline(std::uint32_t total, std::uint32_t chunkItems, int slots,
                      const std::function<void(int, std::uint32_t, std::uint32_t, std::uint32_t)>& produce,
                      const std::function<void(int)>& consume) {
    if (total <= chunkItems) {
        produce(0, 0, 0, total);
        consume(0);
        return;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<int> free, ready;
    bool done = false, failed = false;
    std::exception_ptr consumerError;
    for (int i = 0; i < slots; ++i) free.push_back(i);
    auto stop = [&] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            failed = true;
        }
        changed.notify_all();
    };

    std::thread consumer([&] {
        try {
            for (;;) {
                int slot;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return !ready.empty() || done || failed; });
                    if (failed || ready.empty()) return;
                    slot = ready.front();
                    ready.pop_front();
                }
                consume(slot);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    free.push_back(slot);
                }
                changed.notify_all();
            }
        } catch (...) {
            consumerError = std::current_exception();
            stop();
        }
    });
    try {
        std::uint32_t chunk = 0;
        for (std::uint32_t first = 0; first < total; first += chunkItems, ++chunk) {
            int slot;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !free.empty() || failed; });
                if (failed) break;
                slot = free.front();
                free.pop_front();
            }
            produce(slot, chunk, first, std::min(chunkItems, total - first));
            {
                std::lock_guard<std::mutex> lock(mutex);
                ready.push_back(slot);
            }
            changed.notify_all();
        }
    } catch (...) {
        stop();
        consumer.join();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    consumer.join();
    if (consumerError) std::rethrow_exception(consumerError);
}

}  // namespace tavrinth
